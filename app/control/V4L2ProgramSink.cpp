#include "V4L2ProgramSink.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <QDebug>

#include <cerrno>
#include <cstring>

namespace {

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The card name as the driver filled it: at most the field's size, not trusted to end in NUL.
std::string cardOf(const v4l2_capability& caps) {
    const char* card = reinterpret_cast<const char*>(caps.card);
    return std::string(card, strnlen(card, sizeof caps.card));
}

}  // namespace

V4L2ProgramSink::V4L2ProgramSink(LoopbackCalls calls) : _calls(std::move(calls)) {}

QString V4L2ProgramSink::missingModuleText() {
    return QStringLiteral(
        "No \"VantorReda Program\" video device was found: install the packages v4l2loopback-dkms and "
        "v4l2loopback-utils and load the module with "
        "sudo modprobe v4l2loopback exclusive_caps=1 card_label=\"VantorReda Program\".");
}

int V4L2ProgramSink::findDevice(std::string* node, std::string* busy) {
    for (const std::string& path : _calls.listNodes()) {
        const int fd = _calls.open(path.c_str(), O_RDWR);
        if (fd < 0)
            continue;
        v4l2_capability caps{};
        if (_calls.ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0 && cardOf(caps) == kCardLabel) {
            // device_caps describes this node; capabilities the whole driver (older drivers
            // fill only that one).
            const __u32 nodeCaps =
                (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
            if (nodeCaps & V4L2_CAP_VIDEO_OUTPUT) {
                *node = path;
                return fd;
            }
            if (busy->empty())
                *busy = path;
        }
        _calls.close(fd);
    }
    return -1;
}

bool V4L2ProgramSink::open(int width, int height, int frameRate, QString* error) {
    close();
    std::string node;
    std::string busy;
    const int fd = findDevice(&node, &busy);
    if (fd < 0) {
        if (error)
            *error = busy.empty() ? missingModuleText()
                                  : QStringLiteral(
                                        "The program device %1 takes no pictures now: another program "
                                        "writes to it.")
                                        .arg(QString::fromStdString(busy));
        return false;
    }
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = static_cast<__u32>(width);
    format.fmt.pix.height = static_cast<__u32>(height);
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = static_cast<__u32>(width) * 2;
    format.fmt.pix.sizeimage = static_cast<__u32>(width) * static_cast<__u32>(height) * 2;
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (_calls.ioctl(fd, VIDIOC_S_FMT, &format) != 0) {
        const int why = errno;
        _calls.close(fd);
        if (error)
            *error = QStringLiteral(
                         "The program device %1 refused the picture format %2x%3 YUYV (%4); "
                         "another program may be writing to it.")
                         .arg(QString::fromStdString(node))
                         .arg(width)
                         .arg(height)
                         .arg(errnoText(why));
        return false;
    }
    // The driver may answer with a format of its own: frames of another size would be torn.
    if (format.fmt.pix.width != static_cast<__u32>(width) ||
        format.fmt.pix.height != static_cast<__u32>(height) ||
        format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV) {
        _calls.close(fd);
        if (error)
            *error = QStringLiteral(
                         "The program device %1 is set to %2x%3 and will not take %4x%5 YUYV; "
                         "close the program reading it and try again.")
                         .arg(QString::fromStdString(node))
                         .arg(format.fmt.pix.width)
                         .arg(format.fmt.pix.height)
                         .arg(width)
                         .arg(height);
        return false;
    }
    // The rate readers are told; the pacing is ours either way, so a refusal changes nothing.
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe.numerator = 1;
    parm.parm.output.timeperframe.denominator = static_cast<__u32>(frameRate);
    if (_calls.ioctl(fd, VIDIOC_S_PARM, &parm) != 0)
        qDebug() << "V4L2ProgramSink::open"
                 << "the device keeps its frame rate:" << errnoText(errno);
    _fd = fd;
    _node = node;
    qDebug() << "V4L2ProgramSink::open" << QString::fromStdString(node) << width << "x" << height
             << frameRate;
    return true;
}

bool V4L2ProgramSink::write(const std::uint8_t* data, std::size_t size, QString* error) {
    if (_fd < 0) {
        if (error)
            *error = QStringLiteral("The program device is not open.");
        return false;
    }
    ssize_t n;
    do {
        n = _calls.write(_fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(size))
        return true;
    if (error)
        *error = n < 0 ? errnoText(errno) : QStringLiteral("the device took %1 of %2 bytes").arg(n).arg(size);
    return false;
}

void V4L2ProgramSink::close() {
    if (_fd >= 0)
        _calls.close(_fd);
    _fd = -1;
    _node.clear();
}
