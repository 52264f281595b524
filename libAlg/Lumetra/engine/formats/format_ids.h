/*
 * format_ids.h - the fixed identifiers this library writes into the
 * records it produces, kept in one place so that writers and readers agree.
 */
#ifndef LUMETRA_ENGINE_FORMATS_FORMAT_IDS_H
#define LUMETRA_ENGINE_FORMATS_FORMAT_IDS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Vendor and algorithm identifiers of the quality blocks of version 3.0
 * records (quality record and zonal quality block). */
#define QX_FORMAT_VENDOR_ID 0x4C4Du   /* "LM" */
#define QX_FORMAT_ALGORITHM_ID 0x0001u
/* Capture device vendor (high half) and type (low half) stored by the
 * template encoder into the minutia list and written into 3.0 records. */
#define QX_FORMAT_CAPTURE_DEVICE 0x4C4D0058u
/* Header of the compact card's proprietary block: "LM", layout version 1,
 * one byte per minutia follows. */
#define QX_CC_PROPRIETARY_HEADER_0 0x4C
#define QX_CC_PROPRIETARY_HEADER_1 0x4D
#define QX_CC_PROPRIETARY_HEADER_2 0x01
#define QX_CC_PROPRIETARY_HEADER_3 0x01

#ifdef __cplusplus
}
#endif

#endif
