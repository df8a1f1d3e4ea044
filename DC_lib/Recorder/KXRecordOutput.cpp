#include "Recorder/KXRecordOutput.h"

#include <cstring>

#include "KXLog.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

std::string KXErrorText(int code) {
    char text[128] = {0};
    if (av_strerror(code, text, sizeof text) < 0) {
        std::snprintf(text, sizeof text, "%s", std::strerror(-code));
    }
    return text;
}

KXRecordOutput::~KXRecordOutput() {
    finish();
}

bool KXRecordOutput::create(const std::string& path) {
    finish();
    _path = path;
    _context = avformat_alloc_context();
    if (_context == nullptr) {
        KXLog("Could'nt create AVForamteContext for recording.\n");
        return false;
    }
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    if (format == nullptr) {
        KXLog("Couldn't create AVOutputFormat for recording.\n");
        avformat_free_context(_context);
        _context = nullptr;
        return false;
    }
    _context->oformat = format;
    _context->url = av_strdup(path.c_str());
    if (_context->url == nullptr) {
        KXLog("Could'nt create AVForamteContext for recording.\n");
        avformat_free_context(_context);
        _context = nullptr;
        return false;
    }
    return true;
}

bool KXRecordOutput::wantsGlobalHeader() const {
    return _context != nullptr && (_context->oformat->flags & AVFMT_GLOBALHEADER) != 0;
}

bool KXRecordOutput::begin() {
    if (_context == nullptr) {
        return false;
    }
    if ((_context->oformat->flags & AVFMT_NOFILE) == 0) {
        const int ret = avio_open(&_context->pb, _path.c_str(), AVIO_FLAG_WRITE);
        if (ret < 0) {
            KXLog("Couldn't open the file.\n");
            KXLog("%s: %s\n", _path.c_str(), KXErrorText(ret).c_str());
            return false;
        }
    }
    AVDictionary* options = nullptr;
    // The MP4 family (every muxer with the "movflags" option) is written fragmented.
    const AVClass* formatClass = _context->oformat->priv_class;
    if (formatClass != nullptr &&
        av_opt_find(&formatClass, "movflags", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr) {
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        // Copied streams may have key frames far apart: still a fragment a second.
        av_dict_set(&options, "frag_duration", "1000000", 0);
    }
    _context->flush_packets = 1;
    const int ret = avformat_write_header(_context, &options);
    av_dict_free(&options);
    if (ret < 0) {
        KXLog("Couldn't write the header in the output file.");
        KXLog("%s: %s\n", _path.c_str(), KXErrorText(ret).c_str());
        return false;
    }
    _headerWritten = true;
    return true;
}

int KXRecordOutput::write(AVPacket* packet) {
    if (_context == nullptr || !_headerWritten) {
        return AVERROR(EINVAL);
    }
    if (_writeError < 0) {
        return _writeError;
    }
    const int ret = av_write_frame(_context, packet);
    if (ret >= 0) {
        return 0;
    }
    const bool ioError = _context->pb != nullptr && _context->pb->error < 0;
    if (!ioError && ret == AVERROR(EINVAL)) {
        // Timestamps the muxer cannot take (KXForwardTimeline keeps the usual causes away):
        // one packet lost is better than the rest of the recording.
        KXLog("The muxer refused a packet of stream %d; it is left out of the recording.\n",
              packet->stream_index);
        return 1;
    }
    _writeError = ioError ? _context->pb->error : ret;
    KXLog("Couldn't write a packet to the output file.\n");
    KXLog("%s: %s\n", _path.c_str(), KXErrorText(_writeError).c_str());
    return _writeError;
}

int KXRecordOutput::finish() {
    if (_context == nullptr) {
        return 0;
    }
    int result = 0;
    if (_headerWritten) {
        const int ret = av_write_trailer(_context);
        if (ret < 0) {
            KXLog("Couldn't write the trailer of the output file: %s\n", KXErrorText(ret).c_str());
            result = ret;
        }
        _headerWritten = false;
    }
    if ((_context->oformat->flags & AVFMT_NOFILE) == 0 && _context->pb != nullptr) {
        avio_flush(_context->pb);
        if (result == 0 && _context->pb->error < 0) {
            result = _context->pb->error;
        }
        const int ret = avio_closep(&_context->pb);
        if (result == 0 && ret < 0) {
            result = ret;
        }
    }
    avformat_free_context(_context);
    _context = nullptr;
    return result;
}

int64_t KXForwardTimeline::next(int64_t value, int64_t step) {
    if (value == AV_NOPTS_VALUE) {
        return AV_NOPTS_VALUE;
    }
    int64_t shifted = value + _shift;
    if (_last != AV_NOPTS_VALUE && shifted <= _last) {
        const int64_t target = _last + (step > 0 ? step : 1);
        _shift += target - shifted;
        shifted = target;
    }
    _last = shifted;
    return shifted;
}
