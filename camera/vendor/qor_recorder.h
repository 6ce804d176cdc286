/* Recorder library (libqor_recorder.so.3): records images of opened cameras into PC memory,
 * files or camera RAM. Statuses follow the camera SDK's rule (>= 0 or bit 0x40000000 is success). */
#pragma once

#include "qor_camsys.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* QOR_RECORDER;

/* Storage kinds (bits 16-17 of the mode word are the kind, the low bits the type). */
enum {
    QOR_RECORDER_MODE_FILE = 0x0001,
    QOR_RECORDER_MODE_MEMORY = 0x0002,
    QOR_RECORDER_MODE_CAMRAM = 0x0003
};

/* Recorder types of the memory storage kind. */
enum {
    QOR_RECORDER_MEMORY_SEQUENCE = 1,
    QOR_RECORDER_MEMORY_RINGBUF = 2,
    QOR_RECORDER_MEMORY_FIFO = 3
};

/* Recorder types of the file storage kind. */
enum {
    QOR_RECORDER_FILE_TIF = 1,
    QOR_RECORDER_FILE_MULTITIF = 2,
    QOR_RECORDER_FILE_QORRAW = 3,
    QOR_RECORDER_FILE_B16 = 4,
    QOR_RECORDER_FILE_DICOM = 5,
    QOR_RECORDER_FILE_MULTIDICOM = 6
};

/* Noise model for the compressed copy. */
typedef struct {
    double dGainK;
    double dDarkNoise_e;
    double dDSNU_e;
    double dPRNU_pct;
    double dLightSourceNoise_pct;
} QOR_CompressionParams;

int QOR_RecorderCreate(QOR_RECORDER* recorder, QOR_HANDLE* cameras, uint32_t* image_distribution,
                       uint16_t camera_count, uint32_t mode, const char* folder, uint32_t* max_image_counts);
int QOR_RecorderDelete(QOR_RECORDER recorder);
int QOR_RecorderInit(QOR_RECORDER recorder, uint32_t* image_counts, uint16_t camera_count, uint16_t type,
                     uint16_t file_switch, const char* file, uint16_t* ram_segments);
int QOR_RecorderStartRecord(QOR_RECORDER recorder, QOR_HANDLE camera);
int QOR_RecorderStopRecord(QOR_RECORDER recorder, QOR_HANDLE camera);

/* Any output pointer may be null. Times are milliseconds since the recorder's creation. */
int QOR_RecorderGetStatus(QOR_RECORDER recorder, QOR_HANDLE camera, int* running, int* auto_exposure_on,
                          uint32_t* last_error, uint32_t* processed_count, uint32_t* requested_count,
                          int* buffer_full, int* fifo_overflow, uint32_t* start_time_ms, uint32_t* stop_time_ms);
int QOR_RecorderGetSettings(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t* mode, uint32_t* max_image_count,
                            uint32_t* requested_count, uint16_t* width, uint16_t* height, uint16_t* metadata_lines);

/* Copies the image of the given index, cropped to the 1-based inclusive rectangle, into buffer
 * (16-bit pixels, or 8-bit ones when the camera records 8-bit data). */
int QOR_RecorderCopyImage(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t index, uint16_t x0, uint16_t y0,
                          uint16_t x1, uint16_t y1, void* buffer, uint32_t* image_number, QOR_Metadata* metadata,
                          QOR_Timestamp* timestamp);
int QOR_RecorderCopyImageCompressed(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t index, uint16_t x0,
                                    uint16_t y0, uint16_t x1, uint16_t y1, uint8_t* buffer, uint32_t* image_number,
                                    QOR_Metadata* metadata, QOR_Timestamp* timestamp);
int QOR_RecorderSetCompressionParams(QOR_RECORDER recorder, QOR_HANDLE camera, const QOR_CompressionParams* params);
/* Averages the images start_index to stop_index (inclusive). */
int QOR_RecorderCopyAverageImage(QOR_RECORDER recorder, QOR_HANDLE camera, uint32_t start_index, uint32_t stop_index,
                                 uint16_t x0, uint16_t y0, uint16_t x1, uint16_t y1, void* buffer);

int QOR_RecorderSetAutoExpRegions(QOR_RECORDER recorder, QOR_HANDLE camera, uint16_t region_type, uint16_t* roi_x,
                                  uint16_t* roi_y, uint16_t roi_count);
int QOR_RecorderSetAutoExposure(QOR_RECORDER recorder, QOR_HANDLE camera, int on, uint16_t speed,
                                uint32_t min_exposure, uint32_t max_exposure, uint16_t time_base);

#ifdef __cplusplus
}
#endif
