/* Where the library finds description files when the application has not
 * said: the tree installed with this library. */
#ifndef ZAR_DESCRIPTION_FILES_H
#define ZAR_DESCRIPTION_FILES_H

#include <glib.h>

/* Makes sure GENICAM_ROOT is set before the library reads a description
 * file. When it is unset, sets it for the process to the nearest
 * share/zar-usb/genicam found in this library's folder or the three above it
 * (bin or lib, lib/<multiarch>, and a plugin folder below either; symbolic
 * links resolved); the first caller does, under a lock. FALSE with *error
 * naming GENICAM_ROOT and the folder looked in when neither is there. */
gboolean zar_default_genicam_root(GError **error);

#endif /* ZAR_DESCRIPTION_FILES_H */
