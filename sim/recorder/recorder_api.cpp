// The simulated recorder library's C calls: handle checks, argument checks and dispatch.
#include <memory>

#include "camera/vendor/qor_recorder.h"
#include "sim/common/camera_model.h"
#include "sim/common/errors.h"
#include "sim/common/faults.h"
#include "sim/recorder/sim_recorder.h"

#define QOR_EXPORT extern "C" __attribute__((visibility("default")))

using namespace qorsim;

namespace {

// Looks up the recorder and checks that the camera handle is the recorder's and still open.
#define QORSIM_RECORDER(handle, camera_handle)                              \
    std::shared_ptr<SimRecorder> rec = findRecorder(handle);                \
    if (!rec) return err::kRecInvalidHandle;                                \
    if (rec->camera() != (camera_handle)) return err::kRecInvalidArgument;  \
    if (!lookupHandle(camera_handle).device) return err::kRecCameraGone

}  // namespace

QOR_EXPORT int QOR_RecorderCreate(QOR_RECORDER* recorder, QOR_HANDLE* cameras, uint32_t* image_distribution,
                                  uint16_t camera_count, uint32_t mode, const char* folder,
                                  uint32_t* max_image_counts) {
    QORSIM_ENTER(QORSIM_PTR(cameras ? *cameras : nullptr), camera_count, mode, folder != nullptr);
    (void)image_distribution;
    if (recorder == nullptr || cameras == nullptr || max_image_counts == nullptr) return err::kNullPointer;
    if (camera_count != 1) return err::kRecInvalidArgument;
    HandleLookup lookup = lookupHandle(cameras[0]);
    if (!lookup.device) return lookup.status;
    try {
        auto rec = std::make_shared<SimRecorder>(lookup.device, cameras[0], mode, folder);
        max_image_counts[0] = rec->capacity();
        *recorder = registerRecorder(std::move(rec));
    } catch (int32_t status) {
        return status;
    }
    return 0;
}

QOR_EXPORT int QOR_RecorderDelete(QOR_RECORDER recorder) {
    QORSIM_ENTER(QORSIM_PTR(recorder));
    std::shared_ptr<SimRecorder> rec = unregisterRecorder(recorder);
    if (!rec) return err::kRecInvalidHandle;
    rec.reset();  // stops a running recording once no call is using it any more
    return 0;
}

QOR_EXPORT int QOR_RecorderInit(QOR_RECORDER recorder, uint32_t* image_counts, uint16_t camera_count, uint16_t type,
                                uint16_t file_switch, const char* file, uint16_t* ram_segments) {
    QORSIM_ENTER(QORSIM_PTR(recorder), image_counts ? image_counts[0] : -1, camera_count, type, file_switch,
                 ram_segments ? ram_segments[0] : -1);
    std::shared_ptr<SimRecorder> rec = findRecorder(recorder);
    if (!rec) return err::kRecInvalidHandle;
    if (image_counts == nullptr) return err::kNullPointer;
    if (camera_count != 1) return err::kRecInvalidArgument;
    return rec->init(image_counts[0], type, file_switch, file, ram_segments);
}

QOR_EXPORT int QOR_RecorderStartRecord(QOR_RECORDER recorder, QOR_HANDLE camera) {
    QORSIM_ENTER(QORSIM_PTR(recorder));
    QORSIM_RECORDER(recorder, camera);
    return rec->start();
}

QOR_EXPORT int QOR_RecorderStopRecord(QOR_RECORDER recorder, QOR_HANDLE camera) {
    QORSIM_ENTER(QORSIM_PTR(recorder));
    std::shared_ptr<SimRecorder> rec = findRecorder(recorder);
    if (!rec) return err::kRecInvalidHandle;
    if (rec->camera() != camera) return err::kRecInvalidArgument;
    return rec->stop();
}

QOR_EXPORT int QOR_RecorderGetStatus(QOR_RECORDER recorder, QOR_HANDLE camera, int* running, int* auto_exposure_on,
                                     uint32_t* last_error, uint32_t* processed_count, uint32_t* requested_count,
                                     int* buffer_full, int* fifo_overflow, uint32_t* start_time_ms,
                                     uint32_t* stop_time_ms) {
    QORSIM_ENTER(QORSIM_PTR(recorder));
    QORSIM_RECORDER(recorder, camera);
    RecorderState s = rec->state();
    if (running) *running = s.running;
    if (auto_exposure_on) *auto_exposure_on = s.auto_exposure_on;
    if (last_error) *last_error = s.last_error;
    if (processed_count) *processed_count = s.processed;
    if (requested_count) *requested_count = s.requested;
    if (buffer_full) *buffer_full = s.buffer_full;
    if (fifo_overflow) *fifo_overflow = s.fifo_overflow;
    if (start_time_ms) *start_time_ms = s.start_ms;
    if (stop_time_ms) *stop_time_ms = s.stop_ms;
    return 0;
}

QOR_EXPORT int QOR_RecorderGetSettings(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t* mode,
                                       uint32_t* max_image_count, uint32_t* requested_count, uint16_t* width,
                                       uint16_t* height, uint16_t* metadata_lines) {
    QORSIM_ENTER(QORSIM_PTR(recorder));
    QORSIM_RECORDER(recorder, camera);
    uint32_t m = 0, max = 0, req = 0;
    uint16_t w = 0, h = 0;
    rec->settings(m, max, req, w, h);
    if (mode) *mode = m;
    if (max_image_count) *max_image_count = max;
    if (requested_count) *requested_count = req;
    if (width) *width = w;
    if (height) *height = h;
    if (metadata_lines) *metadata_lines = 0;
    return 0;
}

QOR_EXPORT int QOR_RecorderCopyImage(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t index, uint16_t x0,
                                     uint16_t y0, uint16_t x1, uint16_t y1, void* buffer, uint32_t* image_number,
                                     QOR_Metadata* metadata, QOR_Timestamp* timestamp) {
    QORSIM_ENTER(QORSIM_PTR(recorder), index, x0, y0, x1, y1);
    QORSIM_RECORDER(recorder, camera);
    const uint16_t crop[4] = {x0, y0, x1, y1};
    return rec->copy(index, crop, buffer, image_number, metadata, timestamp);
}

QOR_EXPORT int QOR_RecorderCopyImageCompressed(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t index,
                                               uint16_t x0, uint16_t y0, uint16_t x1, uint16_t y1, uint8_t* buffer,
                                               uint32_t* image_number, QOR_Metadata* metadata,
                                               QOR_Timestamp* timestamp) {
    QORSIM_ENTER(QORSIM_PTR(recorder), index, x0, y0, x1, y1);
    QORSIM_RECORDER(recorder, camera);
    const uint16_t crop[4] = {x0, y0, x1, y1};
    return rec->copyCompressed(index, crop, buffer, image_number, metadata, timestamp);
}

QOR_EXPORT int QOR_RecorderSetCompressionParams(QOR_RECORDER recorder, QOR_HANDLE camera,
                                                const QOR_CompressionParams* params) {
    QORSIM_ENTER(QORSIM_PTR(recorder));
    QORSIM_RECORDER(recorder, camera);
    if (params == nullptr) return err::kNullPointer;
    if (!(params->dGainK > 0)) return err::kRecInvalidArgument;
    rec->setCompression(*params);
    return 0;
}

QOR_EXPORT int QOR_RecorderCopyAverageImage(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t start_index,
                                            uint32_t stop_index, uint16_t x0, uint16_t y0, uint16_t x1, uint16_t y1,
                                            void* buffer) {
    QORSIM_ENTER(QORSIM_PTR(recorder), start_index, stop_index, x0, y0, x1, y1);
    QORSIM_RECORDER(recorder, camera);
    const uint16_t crop[4] = {x0, y0, x1, y1};
    return rec->copyAverage(start_index, stop_index, crop, buffer);
}

QOR_EXPORT int QOR_RecorderSetAutoExpRegions(QOR_RECORDER recorder, QOR_HANDLE camera, uint16_t region_type,
                                             uint16_t* roi_x, uint16_t* roi_y, uint16_t roi_count) {
    QORSIM_ENTER(QORSIM_PTR(recorder), region_type, roi_count);
    QORSIM_RECORDER(recorder, camera);
    (void)roi_x;
    (void)roi_y;
    if (region_type > 3) return err::kRecInvalidArgument;
    rec->setAutoExposureRegion(region_type);
    return 0;
}

QOR_EXPORT int QOR_RecorderSetAutoExposure(QOR_RECORDER recorder, QOR_HANDLE camera, int on, uint16_t speed,
                                           uint32_t min_exposure, uint32_t max_exposure, uint16_t time_base) {
    QORSIM_ENTER(QORSIM_PTR(recorder), on, speed, min_exposure, max_exposure, time_base);
    QORSIM_RECORDER(recorder, camera);
    return rec->setAutoExposure(on != 0, min_exposure, max_exposure, time_base);
}
