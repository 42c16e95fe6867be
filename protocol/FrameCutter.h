// The reassembly buffer of one equipment connection and the cutting of
// frames out of it.
//
// Received bytes are appended as they come; Cut() then takes off every
// complete frame, from a 0x7E flag to the next one:
//   - bytes before the first flag stay until a frame completes, then go;
//   - a "frame" of 2 to 4 bytes is never one: its closing flag opens the next
//     frame (so the end flag and start flag between two frames cost nothing);
//   - a complete frame of 5 to 16 bytes is dropped with both its flags;
//   - frames of 17 bytes or more are handed out, flags included, still escaped.
// The cut works by index and remembers how far it has searched, so a frame
// arriving in many small pieces costs time linear in its length.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>

class TFrameCutter {
public:
    // Frames shorter than this (flags included) are dropped.
    static constexpr qsizetype MinFrameBytes = 17;

    void Append(QByteArrayView bytes) { buffer_.append(bytes.data(), bytes.size()); }

    // Cuts every complete frame and hands each one of at least MinFrameBytes
    // to onFrame, in stream order. The view is valid only during the call.
    // If onFrame throws, the exception passes through and the buffer is in an
    // undefined but valid state (the caller clears it).
    void Cut(const std::function<void(QByteArrayView frame)> &onFrame);

    // Bytes held: the incomplete frame and anything before its start flag.
    qsizetype Size() const { return buffer_.size(); }
    // Empties the buffer and gives its memory back.
    void Clear();

private:
    QByteArray buffer_;
    qsizetype startFlag_ = -1; // index of the frame's start flag, -1 while none is known
    qsizetype searched_ = 0;   // bytes before this index hold no flag (after startFlag_)
};
