#include "linux/KXAlsaCards.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <string>

namespace kxalsa {

std::string pcmNodeName(int card, int device) {
    return "hw:" + std::to_string(card) + "," + std::to_string(device);
}

namespace {

// The first capture PCM device of a card, or -1.
int firstCapturePcm(snd_ctl_t* ctl, int card) {
    int device = -1;
    snd_pcm_info_t* info;
    snd_pcm_info_alloca(&info);
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        snd_pcm_info_set_device(info, static_cast<unsigned>(device));
        snd_pcm_info_set_subdevice(info, 0);
        snd_pcm_info_set_stream(info, SND_PCM_STREAM_CAPTURE);
        if (snd_ctl_pcm_info(ctl, info) == 0) {
            return device;
        }
    }
    (void)card;
    return -1;
}

bool pcmCapability(int card, int device, KXAudioCapability& cap) {
    const std::string name = pcmNodeName(card, device);
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
        return false;
    }
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    bool ok = snd_pcm_hw_params_any(pcm, params) >= 0;
    if (ok) {
        unsigned rate = 0;
        unsigned channels = 0;
        int dir = 0;
        if (snd_pcm_hw_params_test_rate(pcm, params, 48000, 0) == 0) {
            rate = 48000;
        } else if (snd_pcm_hw_params_get_rate_max(params, &rate, &dir) < 0) {
            rate = 0;
        }
        if (snd_pcm_hw_params_get_channels_max(params, &channels) < 0) {
            channels = 0;
        }
        cap.sampleRate = static_cast<int32_t>(std::min(rate, 768000u));
        cap.channels = static_cast<int32_t>(std::min(channels, 2u));
        cap.bitsPerSample = snd_pcm_hw_params_test_format(pcm, params, SND_PCM_FORMAT_S16_LE) == 0 ? 16 : 32;
        ok = cap.sampleRate > 0 && cap.channels > 0;
    }
    snd_pcm_close(pcm);
    return ok;
}

}  // namespace

std::vector<KXCaptureDevice> captureCards() {
    std::vector<KXCaptureDevice> cards;
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        std::string ctlName = "hw:" + std::to_string(card);
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, ctlName.c_str(), 0) < 0) {
            continue;
        }
        snd_ctl_card_info_t* info;
        snd_ctl_card_info_alloca(&info);
        if (snd_ctl_card_info(ctl, info) == 0) {
            int device = firstCapturePcm(ctl, card);
            if (device >= 0) {
                KXCaptureDevice d;
                d.friendlyName = std::string(snd_ctl_card_info_get_name(info));
                d.node = pcmNodeName(card, device);  // the PCM the capability was probed on
                KXAudioCapability cap;
                if (pcmCapability(card, device, cap)) {
                    d.audioCapabilities.push_back(cap);
                }
                cards.push_back(std::move(d));
            }
        }
        snd_ctl_close(ctl);
    }
    return cards;
}

}  // namespace kxalsa
