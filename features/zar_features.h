/*
 * ZAR_USB features: a camera's features by name.
 *
 * The camera's GenICam description file (DevGetXml) is evaluated by Aravis'
 * GenICam engine over the camera's registers (GCReadData, GCWriteData):
 * names, types, ranges, enumerations, commands and access modes are the
 * file's. It uses ZAR_USB through its public C API alone.
 *
 * Linux only: it needs Aravis 0.8, and is built and installed where Aravis
 * is found. Link it with -lzar_features (pkg-config zar_features; CMake:
 * find_package(ZarUsb), target ZarUsb::zar_features).
 *
 * A ZAR_FEATURES handle is used by one thread at a time. Texts it returns
 * stay valid until the next call on the same handle.
 */
#ifndef ZAR_FEATURES_H
#define ZAR_FEATURES_H

#include <stddef.h>

#include "zar_usb.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ZAR_FEATURES_BUILDING)
#define ZAR_FEATURES_API __attribute__((visibility("default")))
#else
#define ZAR_FEATURES_API
#endif

/* Outcomes. Every failure leaves its message in zar_features_error. */
typedef enum ZAR_FEATURE_STATUS {
  ZAR_FEATURE_OK = 0,
  ZAR_FEATURE_UNKNOWN = 1,       /* no feature of that name (message: the nearest names) */
  ZAR_FEATURE_OUT_OF_RANGE = 2,  /* message: the range and the increment */
  ZAR_FEATURE_READ_ONLY = 3,     /* not writable (read-only, or locked now) */
  ZAR_FEATURE_NOT_AVAILABLE = 4, /* not available now, or not readable (write-only) */
  ZAR_FEATURE_ACCESS_FAILED = 5, /* a register access failed (message: the library's error text) */
  ZAR_FEATURE_BAD_VALUE = 6,     /* the text is no value of the feature's type, or no entry of the enumeration */
  ZAR_FEATURE_WRONG_TYPE = 7,    /* execute on a feature that is no command, or a category given as a feature */
  ZAR_FEATURE_NO_DESCRIPTION = 8 /* the camera's description file cannot be read or parsed */
} ZAR_FEATURE_STATUS;

typedef struct ZAR_FEATURES ZAR_FEATURES;

/* One feature of a listing. */
typedef struct ZAR_FEATURE_INFO {
  const char *name;
  const char *category; /* the category that lists it; "" for features of no category */
  int depth;            /* categories above it (0: directly under the root) */
  const char *type;     /* "Integer", "Float", "Boolean", "Enumeration", "String", "Command", "Register",
                           "Category" */
  const char *access;   /* "RO", "WO", "RW", or "NA" when not available now */
  const char *unit;     /* "" when none */
  const char *range;    /* "1..16384 step 1", "Mono8|Mono16|RGB8", or "" */
  const char *value;    /* the value as text; when status is not OK, the reason it has none */
  int status;           /* ZAR_FEATURE_OK, or why the value could not be read */
  int visible;          /* 0 for features the file marks invisible */
  const char *description; /* the file's description of it (its tool tip when it has none), or "" */
} ZAR_FEATURE_INFO;

/* Opens the node map of an open camera: reads its description file and
 * takes a reference on the transport layer (TLOpen) for the library's error
 * texts, given back by zar_features_close. The library reads description
 * files below GENICAM_ROOT; when that is not set, the first open sets it for
 * the process to the files installed with zar_features (share/zar-usb/genicam
 * of its installation). NULL when the file cannot be had; then *status (when
 * not NULL) and message (when not NULL, cut to messageSize bytes with its
 * terminator) say why. */
ZAR_FEATURES_API ZAR_FEATURES *zar_features_open(ZAR_DEV_HANDLE device, int *status, char *message,
                                                 size_t messageSize);
/* Releases the node map; the camera stays open. NULL is accepted. */
ZAR_FEATURES_API void zar_features_close(ZAR_FEATURES *features);
/* The message of the last failure on this handle. */
ZAR_FEATURES_API const char *zar_features_error(const ZAR_FEATURES *features);

/* Flags of zar_features_list. */
#define ZAR_FEATURES_ALL 1        /* every feature of the file: invisible ones and those of no category too */
#define ZAR_FEATURES_NAMES_ONLY 2 /* name, category, depth, type and visibility alone: no register is read */

/* Lists the categories and features, depth first from the root category:
 * without ZAR_FEATURES_ALL the visible ones of the category tree. Categories
 * are items of type "Category". Each value is read; a value that cannot be
 * read is a reason, not a failure of the listing. */
ZAR_FEATURES_API int zar_features_list(ZAR_FEATURES *features, int flags, const ZAR_FEATURE_INFO **items,
                                       size_t *count);
/* One feature as a listing describes it, its value read; its category and
 * depth are left empty (0). */
ZAR_FEATURES_API int zar_features_describe(ZAR_FEATURES *features, const char *name, const ZAR_FEATURE_INFO **info);
/* Reads a feature's value as text (enumerations by entry name). */
ZAR_FEATURES_API int zar_features_get(ZAR_FEATURES *features, const char *name, const char **value);
/* Writes a feature from text: integers (decimal or 0x hex), floats,
 * booleans (true/false/1/0), enumeration entries by name, strings. */
ZAR_FEATURES_API int zar_features_set(ZAR_FEATURES *features, const char *name, const char *value);
/* Executes a command feature. */
ZAR_FEATURES_API int zar_features_execute(ZAR_FEATURES *features, const char *name);

#ifdef __cplusplus
}
#endif

#endif /* ZAR_FEATURES_H */
