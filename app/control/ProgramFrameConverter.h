#pragma once

#include <cstdint>

struct DC_Video_Frame;
struct SwsContext;

// Turns one captured frame into a program picture: libswscale converts the frame's planes to
// packed YUYV (limited range, what V4L2 readers assume for it) and scales them to the output
// size in one pass, straight into the caller's buffer. The picture is filled whole; what the
// frame's record may hold and what is drawn follow FrameScaler's rules (the same formats, the
// largest even rectangle, nothing read past a plane row of a record that does not hold
// together).
//
// The conversion context is kept between frames and rebuilt only when the source size, its
// format or the output size changes: once running, converting allocates nothing.
//
// Threading: one thread per object (the interface thread, where the frame pumps call).
class ProgramFrameConverter {
public:
    ProgramFrameConverter() = default;
    ~ProgramFrameConverter();
    ProgramFrameConverter(const ProgramFrameConverter&) = delete;
    ProgramFrameConverter& operator=(const ProgramFrameConverter&) = delete;

    // Writes `frame` into `target` (width * height * 2 bytes, rows of width * 2); false, with
    // the target untouched, when the frame is not drawn or the output size is not even.
    bool convert(const DC_Video_Frame& frame, std::uint8_t* target, int width, int height);

    // Fills `target` with black.
    static void fillBlack(std::uint8_t* target, int width, int height);

    int contextBuilds() const { return _contextBuilds; }

private:
    struct Key {
        int sourceWidth = 0;
        int sourceHeight = 0;
        int format = -1;
        int targetWidth = 0;
        int targetHeight = 0;
        bool operator==(const Key&) const = default;
    };

    SwsContext* _context = nullptr;  // owned
    Key _key;                        // what _context was built for
    int _contextBuilds = 0;
};
