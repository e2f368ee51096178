#include "port_genicam.h"

#include <arv.h>
#include <string.h>

#define PORT_TYPE_DEVICE (port_device_get_type())
G_DECLARE_FINAL_TYPE(PortDevice, port_device, PORT, DEVICE, ArvDevice)

struct _PortDevice {
  ArvDevice parent;
  PortAccess access;
  void *context;
  ArvGc *genicam;
};

G_DEFINE_TYPE(PortDevice, port_device, ARV_TYPE_DEVICE)

static gboolean Access(ArvDevice *device, guint64 address, guint32 size, void *buffer, int write, GError **error) {
  PortDevice *self = PORT_DEVICE(device);
  if (self->access(self->context, address, buffer, size, write) == 0) return TRUE;
  g_set_error(error, ARV_DEVICE_ERROR, ARV_DEVICE_ERROR_PROTOCOL_ERROR, "port access at 0x%" G_GINT64_MODIFIER "X",
              address);
  return FALSE;
}

static gboolean ReadMemory(ArvDevice *device, guint64 address, guint32 size, void *buffer, GError **error) {
  return Access(device, address, size, buffer, 0, error);
}

static gboolean WriteMemory(ArvDevice *device, guint64 address, guint32 size, void *buffer, GError **error) {
  return Access(device, address, size, buffer, 1, error);
}

static gboolean ReadRegister(ArvDevice *device, guint64 address, guint32 *value, GError **error) {
  return ReadMemory(device, address, sizeof *value, value, error);
}

static gboolean WriteRegister(ArvDevice *device, guint64 address, guint32 value, GError **error) {
  return WriteMemory(device, address, sizeof value, &value, error);
}

static ArvGc *GetGenicam(ArvDevice *device) { return PORT_DEVICE(device)->genicam; }

static void Finalize(GObject *object) {
  g_clear_object(&PORT_DEVICE(object)->genicam);
  G_OBJECT_CLASS(port_device_parent_class)->finalize(object);
}

static void port_device_init(PortDevice *self) { (void)self; }

static void port_device_class_init(PortDeviceClass *klass) {
  ArvDeviceClass *device = ARV_DEVICE_CLASS(klass);
  G_OBJECT_CLASS(klass)->finalize = Finalize;
  device->read_memory = ReadMemory;
  device->write_memory = WriteMemory;
  device->read_register = ReadRegister;
  device->write_register = WriteRegister;
  device->get_genicam = GetGenicam;
}

PortNodeMap *port_node_map_new(PortAccess access, void *context, const char *xml, size_t size) {
  PortDevice *self = g_object_new(PORT_TYPE_DEVICE, NULL);
  self->access = access;
  self->context = context;
  self->genicam = arv_gc_new(ARV_DEVICE(self), xml, size);
  if (self->genicam == NULL || arv_gc_get_node(self->genicam, "Root") == NULL) {
    g_object_unref(self);
    return NULL;
  }
  return (PortNodeMap *)self;
}

void port_node_map_free(PortNodeMap *map) { g_object_unref(map); }

int port_node_map_integer(PortNodeMap *map, const char *name, int64_t *value) {
  GError *error = NULL;
  *value = arv_device_get_integer_feature_value(ARV_DEVICE(map), name, &error);
  if (error == NULL) return 0;
  g_error_free(error);
  return -1;
}

int port_node_map_set_integer(PortNodeMap *map, const char *name, int64_t value) {
  GError *error = NULL;
  arv_device_set_integer_feature_value(ARV_DEVICE(map), name, value, &error);
  if (error == NULL) return 0;
  g_error_free(error);
  return -1;
}

int port_node_map_text(PortNodeMap *map, const char *name, char *out, size_t size) {
  GError *error = NULL;
  const char *text = arv_device_get_string_feature_value(ARV_DEVICE(map), name, &error);
  if (error != NULL) {
    g_error_free(error);
    return -1;
  }
  g_strlcpy(out, text != NULL ? text : "", size);
  return 0;
}
