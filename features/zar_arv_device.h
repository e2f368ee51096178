/*
 * An Aravis device over an open ZAR_USB camera: its memory and registers are
 * the camera's (GCReadData, GCWriteData), its GenICam file the camera's
 * description file (DevGetXml). Aravis' node map (ArvGc) runs on top.
 */
#ifndef ZAR_ARV_DEVICE_H
#define ZAR_ARV_DEVICE_H

#include <arv.h>

#include "zar_usb.h"

G_BEGIN_DECLS

#define ZAR_TYPE_ARV_DEVICE (zar_arv_device_get_type())
G_DECLARE_FINAL_TYPE(ZarArvDevice, zar_arv_device, ZAR, ARV_DEVICE, ArvDevice)

/* Domain of register access failures; the code is the library's status. */
#define ZAR_ARV_DEVICE_ERROR (zar_arv_device_error_quark())
GQuark zar_arv_device_error_quark(void);

/* Reads the camera's description file and builds the node map over it.
 * tl gives the library's error texts. NULL with *error set (domain
 * ZAR_ARV_DEVICE_ERROR) when the file cannot be read, or (ARV_DEVICE_ERROR,
 * ARV_DEVICE_ERROR_GENICAM_NOT_FOUND) when it holds no description. */
ZarArvDevice *zar_arv_device_new(ZAR_TL_HANDLE tl, ZAR_DEV_HANDLE device, GError **error);

G_END_DECLS

#endif /* ZAR_ARV_DEVICE_H */
