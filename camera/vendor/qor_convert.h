/* Conversion library (libqor_convert.so.1): turns 16-bit sensor data into 8-bit mono, 8/16-bit colour
 * or pseudo colour. Statuses follow the camera SDK's rule (>= 0 or bit 0x40000000 is success). */
#pragma once

#include "qor_camsys.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* QOR_CONVERTER;

/* Converter kinds. */
enum {
    QOR_CONVERT_MONO = 1,
    QOR_CONVERT_COLOR = 2,
    QOR_CONVERT_PSEUDO = 3,
    QOR_CONVERT_COLOR16 = 4
};

/* Conversion flags. */
enum {
    QOR_CONVERT_FLIP = 0x0001,
    QOR_CONVERT_AUTO_MINMAX = 0x0020,
    QOR_CONVERT_ORDER_MASK = 0x0300, /* 0 BGR, 0x100 BGRA, 0x200 RGB, 0x300 RGBA */
    QOR_CONVERT_BGRA = 0x0100,
    QOR_CONVERT_RGB = 0x0200,
    QOR_CONVERT_RGBA = 0x0300,
    QOR_CONVERT_DEFAULT = 0x1000,
    QOR_CONVERT_SHARPEN = 0x100000,
    QOR_CONVERT_ADAPTIVE_SHARPEN = 0x200000,
    QOR_CONVERT_ALT_DEBAYER = 0x400000
};

/* Display record, 264 bytes. */
typedef struct {
    uint16_t wSize;
    uint16_t wDummy;
    int32_t iReserved;
    int32_t iScale_min;
    int32_t iScale_max;
    int32_t iColor_temp;
    int32_t iColor_tint;
    int32_t iColor_saturation;
    int32_t iColor_vibrance;
    int32_t iContrast;
    int32_t iGamma; /* gamma x 100 */
    int32_t iReserved2[56];
} QOR_Display;

int QOR_ConvertCreate(QOR_CONVERTER* converter, QOR_SensorInfo* sensor_info, int kind);
int QOR_ConvertDelete(QOR_CONVERTER converter);
int QOR_ConvertGetDisplay(QOR_CONVERTER converter, QOR_Display* display);
int QOR_ConvertSetDisplay(QOR_CONVERTER converter, QOR_Display* display);
int QOR_ConvertSetSensorInfo(QOR_CONVERTER converter, QOR_SensorInfo* sensor_info);

/* Conversions of width x height 16-bit pixels. Output rows: Mono8 padded width bytes, 3-channel
 * formats 3 x padded width elements, 4-channel formats 4 x width bytes (padded width = width rounded
 * up to a multiple of 4). color_mode is the Bayer phase 0 to 3 of the first pixel. */
int QOR_Convert16TO8(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                     const uint16_t* in, uint8_t* out);
int QOR_Convert16TOCOL(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                       const uint16_t* in, uint8_t* out);
int QOR_Convert16TOPSEUDO(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                          const uint16_t* in, uint8_t* out);
int QOR_Convert16TOCOL16(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                         const uint16_t* in, uint16_t* out);

/* Loads a pseudo-colour look-up table; kind 0 to 3 selects the file format. */
int QOR_LoadPseudoLut(QOR_CONVERTER converter, int kind, const char* file);

/* Estimates the colour temperature and tint of a region (1-based, inclusive) of a Bayer image. */
int QOR_GetWhiteBalance(QOR_CONVERTER converter, int* color_temp, int* tint, int color_mode, int width, int height,
                        const uint16_t* raw, int x0, int y0, int x1, int y1);
/* White-balance gains of the red, green and blue channel for a temperature and tint. */
int QOR_GetWhiteBalanceGains(int color_temp, int tint, int bit_resolution, float* red, float* green, float* blue);

#ifdef __cplusplus
}
#endif
