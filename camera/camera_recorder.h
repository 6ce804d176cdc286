#pragma once

// The recorder handle a camera owns; shared with queries that run while a new recording replaces it,
// so the recorder is deleted only when its last user is done.
#include <atomic>
#include <cstdio>

#include "camera/camera.h"

namespace qor {

/// Prints the close-path line for a failed status: "Close with warning|error: <SDK text>".
void printCloseStatus(int32_t status);

class Camera::Recorder {
public:
    Recorder(QOR_RECORDER handle, QOR_HANDLE camera, uint32_t capacity)
        : handle_(handle), camera_(camera), capacity_(capacity) {}
    ~Recorder() {
        int32_t status = QOR_RecorderDelete(handle_);
        if (status != 0) printCloseStatus(status);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    QOR_RECORDER get() const { return handle_; }
    QOR_HANDLE camera() const { return camera_; }
    /// The most images the recorder holds, as its creation (or, for camera RAM, its settings) reported.
    uint32_t capacity() const { return capacity_; }
    void setCapacity(uint32_t capacity) { capacity_ = capacity; }

private:
    QOR_RECORDER handle_;
    QOR_HANDLE camera_;
    // Kept with the recorder, so that a query never pairs one recorder with another's capacity.
    std::atomic<uint32_t> capacity_;
};

}  // namespace qor
