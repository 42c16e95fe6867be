#include "FrameCutter.h"

#include "LogCategories.h"

#include <algorithm>

namespace {
constexpr char Flag = 0x7E;
// Spare capacity above which a mostly drained buffer gives memory back, so
// that an idle connection holds next to nothing.
constexpr qsizetype KeepCapacity = 4096;
} // namespace

void TFrameCutter::Cut(const std::function<void(QByteArrayView frame)> &onFrame) {
    qsizetype consumed = 0; // bytes before this index are no longer needed
    // Compacts whatever the loop has consumed, also when onFrame throws.
    struct Compactor {
        TFrameCutter &self;
        qsizetype &consumed;
        ~Compactor() {
            if (consumed <= 0)
                return;
            self.buffer_.remove(0, consumed);
            if (self.startFlag_ >= 0)
                self.startFlag_ -= consumed;
            self.searched_ = std::max<qsizetype>(0, self.searched_ - consumed);
            if (self.buffer_.isEmpty())
                self.buffer_ = QByteArray();
            else if (self.buffer_.capacity() - self.buffer_.size() > KeepCapacity)
                self.buffer_.squeeze();
        }
    } compactor{*this, consumed};

    for (;;) {
        if (startFlag_ < 0) {
            const qsizetype s = buffer_.indexOf(Flag, searched_);
            if (s < 0) {
                searched_ = buffer_.size();
                return;
            }
            startFlag_ = s;
            searched_ = s + 1;
        }
        const qsizetype e = buffer_.indexOf(Flag, std::max(searched_, startFlag_ + 1));
        if (e < 0) {
            searched_ = buffer_.size();
            return;
        }
        const qsizetype start = startFlag_;
        const qsizetype length = e - start + 1;
        if (length <= 4) {
            // Too short to be a frame: its closing flag opens the next one.
            consumed = start + 1;
            startFlag_ = e;
        } else {
            consumed = e + 1;
            startFlag_ = -1;
        }
        searched_ = e + 1;
        if (length >= MinFrameBytes)
            onFrame(QByteArrayView(buffer_.constData() + start, length));
        else if (length > 4)
            qCDebug(lcEquipment) << "dropped a frame of" << length << "bytes";
    }
}

void TFrameCutter::Clear() {
    buffer_ = QByteArray();
    startFlag_ = -1;
    searched_ = 0;
}
