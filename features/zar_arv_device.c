#include "zar_arv_device.h"

#include <string.h>

struct _ZarArvDevice {
  ArvDevice parent;
  ZAR_TL_HANDLE tl;
  ZAR_DEV_HANDLE device;
  char *xml;
  size_t xmlSize;
  ArvGc *genicam;
};

G_DEFINE_TYPE(ZarArvDevice, zar_arv_device, ARV_TYPE_DEVICE)

G_DEFINE_QUARK(zar-arv-device-error-quark, zar_arv_device_error)

/* Sets *error to "<what>: <status> (<the library's text>)"; FALSE. */
static gboolean Failed(ZarArvDevice *self, GError **error, ZAR_STATUS status, const char *what) {
  const char *text = NULL;
  GCGetErrorText(self->tl, status, &text);
  g_set_error(error, ZAR_ARV_DEVICE_ERROR, status, "%s: %d (%s)", what, status, text != NULL ? text : "unknown error");
  return FALSE;
}

static gboolean MemoryFailed(ZarArvDevice *self, GError **error, ZAR_STATUS status, const char *verb, guint64 address,
                             guint32 size) {
  char what[80];
  g_snprintf(what, sizeof what, "%s %u bytes at 0x%" G_GINT64_MODIFIER "X", verb, size, address);
  return Failed(self, error, status, what);
}

static gboolean ReadMemory(ArvDevice *device, guint64 address, guint32 size, void *buffer, GError **error) {
  ZarArvDevice *self = ZAR_ARV_DEVICE(device);
  uint64_t count = size;
  const ZAR_STATUS status = GCReadData(self->device, 0, address, buffer, &count);
  return status == ZAR_SUCCESS ? TRUE : MemoryFailed(self, error, status, "reading", address, size);
}

static gboolean WriteMemory(ArvDevice *device, guint64 address, guint32 size, void *buffer, GError **error) {
  ZarArvDevice *self = ZAR_ARV_DEVICE(device);
  uint64_t count = size;
  const ZAR_STATUS status = GCWriteData(self->device, 0, address, buffer, &count);
  return status == ZAR_SUCCESS ? TRUE : MemoryFailed(self, error, status, "writing", address, size);
}

/* The camera's registers are 32-bit little-endian words. */
static gboolean ReadRegister(ArvDevice *device, guint64 address, guint32 *value, GError **error) {
  guint32 word = 0;
  if (!ReadMemory(device, address, sizeof word, &word, error)) return FALSE;
  *value = GUINT32_FROM_LE(word);
  return TRUE;
}

static gboolean WriteRegister(ArvDevice *device, guint64 address, guint32 value, GError **error) {
  guint32 word = GUINT32_TO_LE(value);
  return WriteMemory(device, address, sizeof word, &word, error);
}

static const char *GetGenicamXml(ArvDevice *device, size_t *size) {
  ZarArvDevice *self = ZAR_ARV_DEVICE(device);
  *size = self->xmlSize;
  return self->xml;
}

static ArvGc *GetGenicam(ArvDevice *device) { return ZAR_ARV_DEVICE(device)->genicam; }

static void Finalize(GObject *object) {
  ZarArvDevice *self = ZAR_ARV_DEVICE(object);
  g_clear_object(&self->genicam);
  g_free(self->xml);
  G_OBJECT_CLASS(zar_arv_device_parent_class)->finalize(object);
}

static void zar_arv_device_init(ZarArvDevice *self) { (void)self; }

static void zar_arv_device_class_init(ZarArvDeviceClass *klass) {
  ArvDeviceClass *device = ARV_DEVICE_CLASS(klass);
  G_OBJECT_CLASS(klass)->finalize = Finalize;
  device->read_memory = ReadMemory;
  device->write_memory = WriteMemory;
  device->read_register = ReadRegister;
  device->write_register = WriteRegister;
  device->get_genicam_xml = GetGenicamXml;
  device->get_genicam = GetGenicam;
}

/* The whole description file, terminated; NULL with *error set. */
static char *DescriptionFile(ZarArvDevice *self, size_t *length, GError **error) {
  uint32_t size = 0;
  ZAR_STATUS status = DevGetXml(self->device, NULL, &size);
  if (status != ZAR_ERR_INVALID_BUFFER_SIZE) {
    Failed(self, error, status, "the camera's description file");
    return NULL;
  }
  char *text = g_malloc0((gsize)size + 1);
  uint32_t capacity = size + 1;
  status = DevGetXml(self->device, text, &capacity);
  if (status != ZAR_SUCCESS) {
    g_free(text);
    Failed(self, error, status, "reading the camera's description file");
    return NULL;
  }
  *length = strnlen(text, size);
  return text;
}

ZarArvDevice *zar_arv_device_new(ZAR_TL_HANDLE tl, ZAR_DEV_HANDLE device, GError **error) {
  ZarArvDevice *self = g_object_new(ZAR_TYPE_ARV_DEVICE, NULL);
  self->tl = tl;
  self->device = device;
  self->xml = DescriptionFile(self, &self->xmlSize, error);
  if (self->xml != NULL) self->genicam = arv_gc_new(ARV_DEVICE(self), self->xml, self->xmlSize);
  if (self->genicam != NULL && arv_gc_get_node(self->genicam, "Root") == NULL)
    g_clear_object(&self->genicam);
  if (self->genicam == NULL) {
    if (self->xml != NULL)
      g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_GENICAM_NOT_FOUND,
                  "the camera's description file holds no GenICam description with a Root category");
    g_object_unref(self);
    return NULL;
  }
  arv_gc_set_range_check_policy(self->genicam, ARV_RANGE_CHECK_POLICY_ENABLE);
  arv_gc_set_access_check_policy(self->genicam, ARV_ACCESS_CHECK_POLICY_ENABLE);
  return self;
}
