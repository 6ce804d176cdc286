/* Light-source SDK (liblym_lumra.so.1): the C calls and the device record the light-source class uses.
 * Every call returns an int32 status: >= 0 or bit 0x40000000 set is success
 * (the latter a warning); anything else is an error code. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* LUMRA_HANDLE;

/* Device status reported by LUMRA_GetDeviceInfo. */
#define LUMRA_STATUS_NOT_OPENED 0 /* free: can be opened */
#define LUMRA_STATUS_OPENED 1     /* opened by this process */
#define LUMRA_STATUS_IN_USE 2     /* opened elsewhere; cannot be opened */

/* The LR record: the device state, 2008 bytes, little-endian. Its first field is the record size;
 * the other fields sit at fixed byte offsets. Channels are 116 bytes apart from offset 168, so the
 * sixteenth channel's block would run past the record's end: the record is kept as bytes and read
 * through the offsets below rather than as an array of channel structs. */
#define LUMRA_LR_RECORD_SIZE 2008
#define LUMRA_LR_MAX_CHANNELS 16

#define LUMRA_LR_OFS_SIZE 0           /* uint16: record size, LUMRA_LR_RECORD_SIZE */
#define LUMRA_LR_OFS_CHANNEL_COUNT 48 /* int32: number of channels of the device */
#define LUMRA_LR_OFS_SERIAL 60        /* uint32: serial number */
#define LUMRA_LR_OFS_CHANNELS 168     /* first channel block */
#define LUMRA_LR_CHANNEL_STRIDE 116   /* distance between two channel blocks */

/* Offsets inside a channel block. */
#define LUMRA_LR_CH_WAVELENGTH 0 /* uint32: nm */
#define LUMRA_LR_CH_GROUP 4      /* uint32: exclusivity group, 0 = none */
#define LUMRA_LR_CH_INTENSITY 8  /* int32 */
#define LUMRA_LR_CH_MIN 12       /* uint32: minimum intensity */
#define LUMRA_LR_CH_MAX 16       /* uint32: maximum intensity */
#define LUMRA_LR_CH_STATE 32     /* uint32: state word */

/* State word bits. */
#define LUMRA_LR_STATE_ON 0x0001u       /* channel enabled (writable) */
#define LUMRA_LR_STATE_EMITTING 0x0002u /* enabled and the output switched on (read-only) */

typedef struct {
    uint16_t wSize;
    uint8_t bData[LUMRA_LR_RECORD_SIZE - 2];
} LUMRA_LRStruct;

#ifdef __cplusplus
static_assert(sizeof(LUMRA_LRStruct) == LUMRA_LR_RECORD_SIZE, "LR record must be 2008 bytes");
#else
_Static_assert(sizeof(LUMRA_LRStruct) == LUMRA_LR_RECORD_SIZE, "LR record must be 2008 bytes");
#endif

/* Byte offset of a field of channel `channel` (0 to 15) in the LR record. */
#define LUMRA_LR_CHANNEL_FIELD(channel, field) \
    (LUMRA_LR_OFS_CHANNELS + (channel) * LUMRA_LR_CHANNEL_STRIDE + (field))

/* Devices */
int32_t LUMRA_ScanDevices(LUMRA_HANDLE* handles, int capacity, int* count);
/* Each output may be null. The port name is NUL-terminated; one that does not fit is cut short. */
int32_t LUMRA_GetDeviceInfo(LUMRA_HANDLE handle, int* type, char* port, int port_len, int* status);
int32_t LUMRA_OpenDeviceEx(LUMRA_HANDLE handle);
int32_t LUMRA_CloseDevice(LUMRA_HANDLE handle);

/* Output switch: target 1 is the device output; on 0 switches it off, 1 on. */
int32_t LUMRA_SwitchLumra(LUMRA_HANDLE handle, int target, int on);

/* Device record; the caller sets wSize to LUMRA_LR_RECORD_SIZE. */
int32_t LUMRA_GetLRStruct(LUMRA_HANDLE handle, LUMRA_LRStruct* record);
int32_t LUMRA_SetLRStruct(LUMRA_HANDLE handle, const LUMRA_LRStruct* record);

/* Raw device command; `value` may be null. The answer is NUL-terminated. */
int32_t LUMRA_ExecuteCommandWithValue(LUMRA_HANDLE handle, const char* command, char* answer, int answer_len,
                                      const char* value);

/* Library */
int32_t LUMRA_GetVersion(int* major, int* minor, int* patch, int* build);
int32_t LUMRA_SetLogBits(uint32_t bits);
/* 0 = no log, 1 = log into the file given by LUMRA_SetLogFile. */
int32_t LUMRA_SetLogMode(int mode);
int32_t LUMRA_SetLogFile(const char* path);

#ifdef __cplusplus
}
#endif
