/* Camera SDK (libqor_camsys.so.1): the C calls and records the camera library uses.
 * Every call returns an int32 status: >= 0 or bit 0x40000000 set is success
 * (the latter a warning); anything else is an error code. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* QOR_HANDLE;

/* Camera description record, 436 bytes. */
typedef struct {
    uint16_t wSize;
    uint16_t wSensorTypeDESC;
    uint16_t wSensorSubTypeDESC;
    uint16_t wMaxHorzResStdDESC;
    uint16_t wMaxVertResStdDESC;
    uint16_t wMaxHorzResExtDESC;
    uint16_t wMaxVertResExtDESC;
    uint16_t wDynResDESC;
    uint16_t wMaxBinHorzDESC;
    uint16_t wBinHorzSteppingDESC;
    uint16_t wMaxBinVertDESC;
    uint16_t wBinVertSteppingDESC;
    uint16_t wRoiHorStepsDESC;
    uint16_t wRoiVertStepsDESC;
    uint16_t wNumADCsDESC;
    uint16_t wMinSizeHorzDESC;
    uint32_t dwPixelRateDESC[4];
    uint32_t ZZdwDummypr[20];
    uint16_t wConvFactDESC[4];
    int16_t sCoolingSetpoints[10];
    uint16_t ZZwDummycv[8];
    uint16_t wSoftRoiHorStepsDESC;
    uint16_t wSoftRoiVertStepsDESC;
    uint16_t wIRDESC;
    uint16_t wMinSizeVertDESC;
    uint32_t dwMinDelayDESC;
    uint32_t dwMaxDelayDESC;
    uint32_t dwMinDelayStepDESC;
    uint32_t dwMinExposureDESC;
    uint32_t dwMaxExposureDESC;
    uint32_t dwMinExposureStepDESC;
    uint32_t dwMinDelayIRDESC;
    uint32_t dwMaxDelayIRDESC;
    uint32_t dwMinExposureIRDESC;
    uint32_t dwMaxExposureIRDESC;
    uint16_t wTimeTableDESC;
    uint16_t wDoubleImageDESC;
    int16_t sMinCoolSetDESC;
    int16_t sMaxCoolSetDESC;
    int16_t sDefaultCoolSetDESC;
    uint16_t wPowerDownModeDESC;
    uint16_t wOffsetRegulationDESC;
    uint16_t wColorPatternDESC;
    uint16_t wPatternTypeDESC;
    uint16_t wDummy1;
    uint16_t wDummy2;
    uint16_t wNumCoolingSetpoints;
    uint32_t dwGeneralCapsDESC1;
    uint32_t dwGeneralCapsDESC2;
    uint32_t dwExtSyncFrequency[4];
    uint32_t dwGeneralCapsDESC3;
    uint32_t dwGeneralCapsDESC4;
    uint32_t ZZdwDummy[40];
} QOR_Description;

/* Extended description of kind 3, 192 bytes. */
typedef struct {
    uint16_t wSize;
    uint16_t wReserved[9];
    uint16_t wMinSizeHorzStdDESC;
    uint16_t wMinSizeVertStdDESC;
    uint16_t wMinSizeHorzExtDESC;
    uint16_t wMinSizeVertExtDESC;
    uint8_t bReserved[164];
} QOR_DescriptionEx3;

/* Camera type record, 1364 bytes. */
typedef struct {
    uint16_t wSize;
    uint16_t wCamType;
    uint16_t wCamSubType;
    uint16_t wReserved0;
    uint32_t dwSerialNumber;
    uint32_t dwHWVersion;
    uint32_t dwFWVersion;
    uint16_t wInterfaceType;
    uint8_t bReserved[1342];
} QOR_CameraType;

/* Device list entry of the scan, 164 bytes, byte-packed. */
#pragma pack(push, 1)
typedef struct {
    uint16_t wSize;
    uint8_t bReserved0[8];
    uint32_t dwStateFlags;   /* bit 0: available, bit 2: in use */
    uint16_t wDeviceNumber;  /* passed to QOR_OpenCameraDevice */
    uint16_t wReserved1;
    uint32_t dwSerialNumber;
    uint8_t bReserved2[12];
    uint16_t wInterfaceType;
    uint8_t bReserved3[128];
} QOR_DeviceEntry;
#pragma pack(pop)

enum {
    QOR_DEVICE_AVAILABLE = 0x0001,
    QOR_DEVICE_IN_USE = 0x0004
};

/* Hardware I/O signal record, 60 bytes. */
typedef struct {
    uint16_t wSize;
    uint16_t wReserved0;
    uint16_t wEnabled;
    uint16_t wType;
    uint16_t wPolarity;
    uint16_t wFilterSetting;
    uint16_t wSelected;
    uint16_t wReserved1;
    uint32_t dwParameter[4];
    uint32_t dwSignalFunctionality[4];
    uint32_t dwReserved[3];
} QOR_Signal;

/* Hardware I/O signal descriptor, 200 bytes. */
typedef struct {
    uint16_t wSize;
    uint16_t wReserved0;
    char strSignalName[4][25];
    uint16_t wSignalDefinitions;
    uint16_t wSignalTypes;
    uint16_t wSignalPolarity;
    uint16_t wSignalFilter;
    uint8_t bReserved[88];
} QOR_SignalDescriptor;

/* Sensor information handed to the conversion library, 264 bytes. */
typedef struct {
    double da11, da12, da13;
    double da21, da22, da23;
    double da31, da32, da33;
} QOR_ColorCoeff;

typedef struct {
    uint16_t wSize;
    uint16_t wDummy;
    int32_t iConversionFactor;
    int32_t iDataBits;
    int32_t iSensorInfoBits;
    int32_t iDarkOffset;
    uint16_t wIMAGE_SIZE_X_Offset;
    uint16_t wIMAGE_SIZE_Y_Offset;
    QOR_ColorCoeff strColorCoeff;
    int32_t iCamNum;
    QOR_HANDLE hCamera;
    uint32_t dwzzDummy1[38];
} QOR_SensorInfo;

/* Per-image metadata record, 69 bytes, byte-packed. */
#pragma pack(push, 1)
typedef struct {
    uint16_t wSize;
    uint16_t wVersion;
    uint8_t bIMAGE_COUNTER_BCD[4];
    uint8_t bIMAGE_TIME_US_BCD[3];
    uint8_t bIMAGE_TIME_SEC_BCD;
    uint8_t bIMAGE_TIME_MIN_BCD;
    uint8_t bIMAGE_TIME_HOUR_BCD;
    uint8_t bIMAGE_TIME_DAY_BCD;
    uint8_t bIMAGE_TIME_MON_BCD;
    uint8_t bIMAGE_TIME_YEAR_BCD;
    uint8_t bIMAGE_TIME_STATUS;
    uint16_t wEXPOSURE_TIME_BASE;
    uint32_t dwEXPOSURE_TIME;
    uint32_t dwFRAMERATE_MILLIHZ;
    int16_t sSENSOR_TEMPERATURE;
    uint16_t wIMAGE_SIZE_X;
    uint16_t wIMAGE_SIZE_Y;
    uint8_t bBINNING_X;
    uint8_t bBINNING_Y;
    uint32_t dwSENSOR_READOUT_FREQUENCY;
    uint16_t wSENSOR_CONV_FACTOR;
    uint32_t dwCAMERA_SERIAL_NO;
    uint16_t wCAMERA_TYPE;
    uint8_t bBIT_RESOLUTION;
    uint8_t bSYNC_STATUS;
    uint16_t wDARK_OFFSET;
    uint8_t bTRIGGER_MODE;
    uint8_t bDOUBLE_IMAGE_MODE;
    uint8_t bCAMERA_SYNC_MODE;
    uint8_t bIMAGE_TYPE;
    uint16_t wCOLOR_PATTERN;
    uint16_t wCAMERA_SUBTYPE;
    uint32_t dwEVENT_NUMBER;
    uint16_t wIMAGE_SIZE_X_Offset;
    uint16_t wIMAGE_SIZE_Y_Offset;
    uint8_t bREADOUT_MODE;
} QOR_Metadata;

/* Per-image time stamp record, 22 bytes, byte-packed. */
typedef struct {
    uint16_t wSize;
    uint32_t dwImgCounter;
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint32_t dwMicroSeconds;
} QOR_Timestamp;
#pragma pack(pop)

/* Library */
int QOR_InitializeLib(void);
int QOR_CleanupLib(void);
int QOR_GetErrorTextSDK(uint32_t code, char* text, uint32_t text_len);

/* Devices */
int QOR_ScanCameras(uint16_t interface_type, uint32_t* count, QOR_DeviceEntry* entries, uint32_t buffer_size);
int QOR_OpenCameraDevice(QOR_HANDLE* handle, uint16_t device_number);
int QOR_CloseCamera(QOR_HANDLE handle);

/* Description and identity */
int QOR_GetCameraDescription(QOR_HANDLE handle, QOR_Description* description);
int QOR_GetCameraDescriptionEx(QOR_HANDLE handle, void* description, uint16_t kind);
int QOR_GetCameraType(QOR_HANDLE handle, QOR_CameraType* type);
int QOR_GetCameraName(QOR_HANDLE handle, char* name, uint16_t name_len);
int QOR_GetIRSensitivity(QOR_HANDLE handle, uint16_t* ir);
int QOR_GetSensorFormat(QOR_HANDLE handle, uint16_t* format);
int QOR_GetCameraSetup(QOR_HANDLE handle, uint16_t* type, uint32_t* setup, uint16_t* setup_len);
int QOR_SetCameraSetup(QOR_HANDLE handle, uint16_t type, uint32_t* setup, uint16_t setup_len);
int QOR_GetBitAlignment(QOR_HANDLE handle, uint16_t* alignment);
int QOR_SetBitAlignment(QOR_HANDLE handle, uint16_t alignment);
int QOR_GetColorCorrectionMatrix(QOR_HANDLE handle, double* matrix9);
int QOR_GetSensorDarkOffset(QOR_HANDLE handle, uint16_t* dark_offset);

/* Acquisition settings */
int QOR_GetDelayExposureTime(QOR_HANDLE handle, uint32_t* delay, uint32_t* exposure, uint16_t* delay_base,
                             uint16_t* exposure_base);
int QOR_SetDelayExposureTime(QOR_HANDLE handle, uint32_t delay, uint32_t exposure, uint16_t delay_base,
                             uint16_t exposure_base);
int QOR_GetROI(QOR_HANDLE handle, uint16_t* x0, uint16_t* y0, uint16_t* x1, uint16_t* y1);
int QOR_SetROI(QOR_HANDLE handle, uint16_t x0, uint16_t y0, uint16_t x1, uint16_t y1);
int QOR_GetTimestampMode(QOR_HANDLE handle, uint16_t* mode);
int QOR_SetTimestampMode(QOR_HANDLE handle, uint16_t mode);
int QOR_GetPixelRate(QOR_HANDLE handle, uint32_t* rate);
int QOR_SetPixelRate(QOR_HANDLE handle, uint32_t rate);
int QOR_GetConversionFactor(QOR_HANDLE handle, uint16_t* factor);
int QOR_SetConversionFactor(QOR_HANDLE handle, uint16_t factor);
int QOR_GetTriggerMode(QOR_HANDLE handle, uint16_t* mode);
int QOR_SetTriggerMode(QOR_HANDLE handle, uint16_t mode);
int QOR_GetAcquireMode(QOR_HANDLE handle, uint16_t* mode);
int QOR_SetAcquireMode(QOR_HANDLE handle, uint16_t mode);
int QOR_GetAcquireModeEx(QOR_HANDLE handle, uint16_t* mode, uint32_t* image_count, uint32_t* reserved4);
int QOR_SetAcquireModeEx(QOR_HANDLE handle, uint16_t mode, uint32_t image_count, uint32_t* reserved4);
int QOR_GetMetaDataMode(QOR_HANDLE handle, uint16_t* mode, uint16_t* size, uint16_t* version);
int QOR_SetMetaDataMode(QOR_HANDLE handle, uint16_t mode, uint16_t* size, uint16_t* version);
int QOR_GetNoiseFilterMode(QOR_HANDLE handle, uint16_t* mode);
int QOR_SetNoiseFilterMode(QOR_HANDLE handle, uint16_t mode);
int QOR_GetBinning(QOR_HANDLE handle, uint16_t* horz, uint16_t* vert);
int QOR_SetBinning(QOR_HANDLE handle, uint16_t horz, uint16_t vert);
int QOR_GetDoubleImageMode(QOR_HANDLE handle, uint16_t* on);
int QOR_SetDoubleImageMode(QOR_HANDLE handle, uint16_t on);
int QOR_ResetSettingsToDefault(QOR_HANDLE handle);

/* State */
int QOR_GetRecordingState(QOR_HANDLE handle, uint16_t* state);
int QOR_SetRecordingState(QOR_HANDLE handle, uint16_t state);
int QOR_ArmCamera(QOR_HANDLE handle);
int QOR_GetCameraHealthStatus(QOR_HANDLE handle, uint32_t* warnings, uint32_t* errors, uint32_t* status);
int QOR_ForceTrigger(QOR_HANDLE handle, uint16_t* triggered);

/* Hardware I/O signals */
int QOR_GetHWIOSignalCount(QOR_HANDLE handle, uint16_t* count);
int QOR_GetHWIOSignal(QOR_HANDLE handle, uint16_t index, QOR_Signal* signal);
int QOR_SetHWIOSignal(QOR_HANDLE handle, uint16_t index, QOR_Signal* signal);
int QOR_GetHWIOSignalDescriptor(QOR_HANDLE handle, uint16_t index, QOR_SignalDescriptor* descriptor);

/* Camera RAM */
int QOR_GetStorageMode(QOR_HANDLE handle, uint16_t* mode);
int QOR_SetStorageMode(QOR_HANDLE handle, uint16_t mode);
int QOR_GetRecorderSubmode(QOR_HANDLE handle, uint16_t* submode);
int QOR_SetRecorderSubmode(QOR_HANDLE handle, uint16_t submode);
int QOR_GetActiveRamSegment(QOR_HANDLE handle, uint16_t* segment);
int QOR_SetActiveRamSegment(QOR_HANDLE handle, uint16_t segment);
int QOR_GetCameraRamSize(QOR_HANDLE handle, uint32_t* ram_pages, uint16_t* page_size);
int QOR_GetCameraRamSegmentSize(QOR_HANDLE handle, uint32_t* sizes4);
int QOR_SetCameraRamSegmentSize(QOR_HANDLE handle, uint32_t* sizes4);
int QOR_GetNumberOfImagesInSegment(QOR_HANDLE handle, uint16_t segment, uint32_t* valid_images,
                                   uint32_t* max_images);

#ifdef __cplusplus
}
#endif
