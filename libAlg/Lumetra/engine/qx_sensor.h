/*
 * qx_sensor.h - the library's resolution and the sensor-size codes.
 *
 * Every image the library works on is taken at 500 dpi, and an image's
 * sensor size is one of the codes below (qx_image_get_sensor_size picks the
 * nearest by area and shape); the configuration rows are keyed by the same
 * codes.
 */
#ifndef LUMETRA_ENGINE_QX_SENSOR_H
#define LUMETRA_ENGINE_QX_SENSOR_H

/* The library's resolution, dots per inch both ways. */
#define QX_LIBRARY_DPI 500

/* Sensor-size codes. */
enum qx_sensor_size {
  QX_SENSOR_SIZE_NONE = 0,
  QX_SENSOR_SWIPE = 1,
  QX_SENSOR_SQUARE_XL = 2, /* ehmsq-xl: about 197 x 197 pixels */
  QX_SENSOR_SQUARE_L = 3,  /* ehmsq-l: about 158 x 158 */
  QX_SENSOR_SQUARE_M = 4,  /* ehmsq-m: about 128 x 128 */
  QX_SENSOR_SQUARE_S = 5,  /* ehmsq-s: about 114 x 114 */
  QX_SENSOR_SQUARE_XS = 6, /* ehmsq-xs: about 98 x 98 (the 88 x 88 station sensor) */
  QX_SENSOR_RECT_M = 7,    /* ehmre-m: oblong, about 15 524 pixels */
  QX_SENSOR_RECT_S = 8     /* ehmre-s: oblong, about 11 643 pixels (80 x 146) */
};

#endif /* LUMETRA_ENGINE_QX_SENSOR_H */
