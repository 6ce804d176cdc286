#pragma once

// The recorder handle a camera owns; shared with queries that run while a new recording replaces it,
// so the recorder is deleted only when its last user is done.
#include <cstdio>

#include "camera/camera.h"

namespace qor {

/// Prints the close-path line for a failed status: "Close with warning|error: <SDK text>".
void printCloseStatus(int32_t status);

class Camera::Recorder {
public:
    Recorder(QOR_RECORDER handle, QOR_HANDLE camera) : handle_(handle), camera_(camera) {}
    ~Recorder() {
        int32_t status = QOR_RecorderDelete(handle_);
        if (status != 0) printCloseStatus(status);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    QOR_RECORDER get() const { return handle_; }
    QOR_HANDLE camera() const { return camera_; }

private:
    QOR_RECORDER handle_;
    QOR_HANDLE camera_;
};

}  // namespace qor
