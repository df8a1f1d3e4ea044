#pragma once

#include <QString>

#include "ProgramSink.h"

// Writes the program's frames one after another, raw, into a file or a named pipe (what
// `ffplay -f rawvideo -pixel_format yuyv422 -video_size WxH` reads). Opening a pipe waits for
// its reader, as any writer of a pipe does.
class FileProgramSink : public ProgramSink {
public:
    explicit FileProgramSink(QString path) : _path(std::move(path)) {}
    ~FileProgramSink() override { close(); }
    FileProgramSink(const FileProgramSink&) = delete;
    FileProgramSink& operator=(const FileProgramSink&) = delete;

    bool open(int width, int height, int frameRate, QString* error) override;
    bool write(const std::uint8_t* data, std::size_t size, QString* error) override;
    void close() override;

private:
    QString _path;
    int _fd = -1;  // owned; opened and closed by the owner, written by the pacer between
};
