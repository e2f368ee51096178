#define _GNU_SOURCE /* dladdr */
#include "description_files.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

/* Folders above this library's own that may hold the installation's share/. */
#define FOLDERS_ABOVE 3

/* The folder of the file this function was loaded from; NULL if unknown. */
static char *OwnFolder(void) {
  Dl_info info;
  char path[PATH_MAX];
  if (dladdr((void *)zar_default_genicam_root, &info) == 0 || info.dli_fname == NULL ||
      realpath(info.dli_fname, path) == NULL)
    return NULL;
  return g_path_get_dirname(path);
}

gboolean zar_default_genicam_root(GError **error) {
  static GMutex lock;
  g_mutex_lock(&lock);
  gboolean found = g_getenv("GENICAM_ROOT") != NULL;
  char *start = found ? NULL : OwnFolder();
  char *folder = g_strdup(start);
  for (int up = 0; !found && folder != NULL && up <= FOLDERS_ABOVE; ++up) {
    char *tree = g_build_filename(folder, "share", "zar-usb", "genicam", NULL);
    found = g_file_test(tree, G_FILE_TEST_IS_DIR) && g_setenv("GENICAM_ROOT", tree, FALSE);
    g_free(tree);
    char *parent = g_path_get_dirname(folder);
    g_free(folder);
    folder = parent;
  }
  g_mutex_unlock(&lock);
  if (!found)
    g_set_error(error, G_FILE_ERROR, G_FILE_ERROR_NOENT,
                "GENICAM_ROOT is not set, and no description files are installed beside this library "
                "(no share/zar-usb/genicam in %s or the %d folders above it)",
                start != NULL ? start : "(its folder is unknown)", FOLDERS_ABOVE);
  g_free(folder);
  g_free(start);
  return found;
}
