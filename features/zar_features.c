#include "zar_features.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "description_files.h"
#include "feature_names.h"
#include "zar_arv_device.h"

struct ZAR_FEATURES {
  ZAR_TL_HANDLE tl;
  ZarArvDevice *device;
  ArvGc *genicam;
  GString *error;      /* the message of the last failure */
  GString *value;      /* the text zar_features_get returned last */
  GArray *items;       /* ZAR_FEATURE_INFO of the last listing */
  GStringChunk *texts; /* the texts those items point to */
};

/* ---- Failures -------------------------------------------------------- */

static int Fail(ZAR_FEATURES *features, int status, const char *format, ...) G_GNUC_PRINTF(3, 4);
static int Fail(ZAR_FEATURES *features, int status, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  g_string_vprintf(features->error, format, arguments);
  va_end(arguments);
  return status;
}

/* "1..16384 step 1" for integers, "0.5..100" for floats,
 * "Mono8|Mono16|RGB8" for enumerations; "" otherwise. */
static void Range(ArvGcFeatureNode *node, GString *out) {
  GError *error = NULL;
  g_string_truncate(out, 0);
  if (ARV_IS_GC_ENUMERATION(node)) {
    guint count = 0;
    const char **entries = arv_gc_enumeration_dup_available_string_values(ARV_GC_ENUMERATION(node), &count, &error);
    for (guint i = 0; entries != NULL && i < count; ++i) g_string_append_printf(out, "%s%s", i ? "|" : "", entries[i]);
    g_free(entries);
  } else if (ARV_IS_GC_INTEGER(node)) {
    ArvGcInteger *integer = ARV_GC_INTEGER(node);
    const gint64 min = arv_gc_integer_get_min(integer, &error);
    const gint64 max = error == NULL ? arv_gc_integer_get_max(integer, &error) : 0;
    const gint64 inc = error == NULL ? arv_gc_integer_get_inc(integer, &error) : 0;
    if (error == NULL)
      g_string_printf(out, "%" G_GINT64_FORMAT "..%" G_GINT64_FORMAT " step %" G_GINT64_FORMAT, min, max, inc);
  } else if (ARV_IS_GC_FLOAT(node)) {
    ArvGcFloat *number = ARV_GC_FLOAT(node);
    const double min = arv_gc_float_get_min(number, &error);
    const double max = error == NULL ? arv_gc_float_get_max(number, &error) : 0;
    if (error == NULL) g_string_printf(out, "%g..%g", min, max);
  }
  g_clear_error(&error);
}

/* Turns an error of the node map into a status and message about `name`. */
static int FromError(ZAR_FEATURES *features, ArvGcFeatureNode *node, const char *value, GError *error) {
  const char *name = arv_gc_feature_node_get_name(node);
  int status = ZAR_FEATURE_NOT_AVAILABLE;
  if (error->domain == ZAR_ARV_DEVICE_ERROR || error->domain == ARV_DEVICE_ERROR) {
    status = Fail(features, ZAR_FEATURE_ACCESS_FAILED, "%s: register access failed: %s", name, error->message);
  } else if (error->domain == ARV_GC_ERROR && error->code == ARV_GC_ERROR_OUT_OF_RANGE) {
    GString *range = g_string_new(NULL);
    Range(node, range);
    status = Fail(features, ZAR_FEATURE_OUT_OF_RANGE, "%s=%s is out of range: %s", name, value != NULL ? value : "",
                  range->len != 0 ? range->str : error->message);
    g_string_free(range, TRUE);
  } else if (error->domain == ARV_GC_ERROR && error->code == ARV_GC_ERROR_ENUM_ENTRY_NOT_FOUND) {
    GString *range = g_string_new(NULL);
    Range(node, range);
    status = Fail(features, ZAR_FEATURE_BAD_VALUE, "%s has no entry '%s'; its entries: %s", name,
                  value != NULL ? value : "", range->str);
    g_string_free(range, TRUE);
  } else if (error->domain == ARV_GC_ERROR && error->code == ARV_GC_ERROR_INVALID_LENGTH && ARV_IS_GC_STRING(node)) {
    GError *ignored = NULL;
    const gint64 most = arv_gc_string_get_max_length(ARV_GC_STRING(node), &ignored);
    g_clear_error(&ignored);
    status = Fail(features, ZAR_FEATURE_OUT_OF_RANGE, "%s takes at most %" G_GINT64_FORMAT " characters, not %zu", name,
                  most, value != NULL ? strlen(value) : 0);
  } else if (error->domain == ARV_GC_ERROR && error->code == ARV_GC_ERROR_READ_ONLY) {
    status = Fail(features, ZAR_FEATURE_READ_ONLY, "%s is read-only", name);
  } else {
    status = Fail(features, ZAR_FEATURE_NOT_AVAILABLE, "%s is not available: %s", name, error->message);
  }
  g_error_free(error);
  return status;
}

/* ---- Features -------------------------------------------------------- */

static gboolean IsFeature(ArvDomNode *node) {
  return ARV_IS_GC_FEATURE_NODE(node) && !ARV_IS_GC_ENUM_ENTRY(node) && !ARV_IS_GC_PORT(node);
}

static const char *TypeName(ArvGcFeatureNode *node) {
  if (ARV_IS_GC_CATEGORY(node)) return "Category";
  if (ARV_IS_GC_COMMAND(node)) return "Command";
  if (ARV_IS_GC_ENUMERATION(node)) return "Enumeration";
  if (ARV_IS_GC_BOOLEAN(node)) return "Boolean";
  if (ARV_IS_GC_STRING(node)) return "String";
  if (ARV_IS_GC_INTEGER(node)) return "Integer";
  if (ARV_IS_GC_FLOAT(node)) return "Float";
  return "Register";
}

static const char *Unit(ArvGcFeatureNode *node) {
  const char *unit = ARV_IS_GC_INTEGER(node) ? arv_gc_integer_get_unit(ARV_GC_INTEGER(node))
                     : ARV_IS_GC_FLOAT(node) ? arv_gc_float_get_unit(ARV_GC_FLOAT(node))
                                             : NULL;
  return unit != NULL ? unit : "";
}

/* The feature's availability and access now: ZAR_FEATURE_OK with *access
 * set, or NOT_AVAILABLE / ACCESS_FAILED with the message set. */
static int Access(ZAR_FEATURES *features, ArvGcFeatureNode *node, ArvGcAccessMode *access) {
  GError *error = NULL;
  const gboolean available = arv_gc_feature_node_is_available(node, &error);
  const gboolean locked = error == NULL && available && arv_gc_feature_node_is_locked(node, &error);
  if (error != NULL) return FromError(features, node, NULL, error);
  if (!available) return Fail(features, ZAR_FEATURE_NOT_AVAILABLE, "%s is not available now", arv_gc_feature_node_get_name(node));
  *access = arv_gc_feature_node_get_actual_access_mode(node);
  if (locked && *access == ARV_GC_ACCESS_MODE_RW) *access = ARV_GC_ACCESS_MODE_RO;
  return ZAR_FEATURE_OK;
}

/* A register's bytes in hex, at most 16 of them. */
static int RegisterBytes(ZAR_FEATURES *features, ArvGcFeatureNode *node, GString *out) {
  GError *error = NULL;
  const guint64 length = arv_gc_register_get_length(ARV_GC_REGISTER(node), &error);
  guint8 *bytes = error == NULL ? g_malloc0(length != 0 ? length : 1) : NULL;
  if (error == NULL) arv_gc_register_get(ARV_GC_REGISTER(node), bytes, length, &error);
  if (error == NULL) {
    g_string_truncate(out, 0);
    for (guint64 i = 0; i < length && i < 16; ++i) g_string_append_printf(out, "%s%02X", i ? " " : "", bytes[i]);
    if (length > 16) g_string_append_printf(out, " ... (%" G_GUINT64_FORMAT " bytes)", length);
  }
  g_free(bytes);
  return error != NULL ? FromError(features, node, NULL, error) : ZAR_FEATURE_OK;
}

/* The value as text into *out, or the reason there is none (status and
 * message). */
static int ReadValue(ZAR_FEATURES *features, ArvGcFeatureNode *node, GString *out) {
  const char *name = arv_gc_feature_node_get_name(node);
  if (ARV_IS_GC_CATEGORY(node)) return Fail(features, ZAR_FEATURE_WRONG_TYPE, "%s is a category", name);
  if (ARV_IS_GC_COMMAND(node))
    return Fail(features, ZAR_FEATURE_WRONG_TYPE, "%s is a command: it is executed, not read", name);
  ArvGcAccessMode access = ARV_GC_ACCESS_MODE_UNDEFINED;
  const int status = Access(features, node, &access);
  if (status != ZAR_FEATURE_OK) return status;
  if (access == ARV_GC_ACCESS_MODE_WO)
    return Fail(features, ZAR_FEATURE_NOT_AVAILABLE, "%s is write-only: it cannot be read", name);
  if (!strcmp(TypeName(node), "Register")) return RegisterBytes(features, node, out);
  GError *error = NULL;
  const char *text = arv_gc_feature_node_get_value_as_string(node, &error);
  if (error != NULL) return FromError(features, node, NULL, error);
  g_string_assign(out, text != NULL ? text : "");
  return ZAR_FEATURE_OK;
}

/* The feature node of that name, or NULL with the failure (and the nearest
 * names) in the message. */
static ArvGcFeatureNode *Find(ZAR_FEATURES *features, const char *name) {
  ArvGcNode *node = name != NULL ? arv_gc_get_node(features->genicam, name) : NULL;
  if (node != NULL && IsFeature(ARV_DOM_NODE(node))) return ARV_GC_FEATURE_NODE(node);
  GPtrArray *names = g_ptr_array_new();
  for (ArvDomNode *child = arv_dom_node_get_first_child(ARV_DOM_NODE(arv_dom_document_get_document_element(
           ARV_DOM_DOCUMENT(features->genicam))));
       child != NULL; child = arv_dom_node_get_next_sibling(child))
    if (IsFeature(child)) g_ptr_array_add(names, (gpointer)arv_gc_feature_node_get_name(ARV_GC_FEATURE_NODE(child)));
  char *nearest = zar_feature_nearest_names(name != NULL ? name : "", (const char *const *)names->pdata, names->len, 3);
  Fail(features, ZAR_FEATURE_UNKNOWN, "no feature '%s'%s%s", name != NULL ? name : "", *nearest ? "; nearest: " : "",
       nearest);
  g_free(nearest);
  g_ptr_array_free(names, TRUE);
  return NULL;
}

/* ---- Listing --------------------------------------------------------- */

typedef struct Listing {
  ZAR_FEATURES *features;
  gboolean all;
  gboolean namesOnly;
  GHashTable *seen; /* names already listed */
  GString *value;
  GString *range;
} Listing;

static void Add(Listing *listing, ArvGcFeatureNode *node, const char *category, int depth) {
  ZAR_FEATURES *features = listing->features;
  GStringChunk *texts = features->texts;
  const gboolean isCategory = ARV_IS_GC_CATEGORY(node);
  ZAR_FEATURE_INFO item = {0};
  item.name = g_string_chunk_insert_const(texts, arv_gc_feature_node_get_name(node));
  item.category = g_string_chunk_insert_const(texts, category);
  item.depth = depth;
  item.type = TypeName(node);
  item.unit = g_string_chunk_insert_const(texts, Unit(node));
  item.visible = arv_gc_feature_node_get_visibility(node) != ARV_GC_VISIBILITY_INVISIBLE;
  const char *description = arv_gc_feature_node_get_description(node);
  if (description == NULL || description[0] == '\0') description = arv_gc_feature_node_get_tooltip(node);
  item.description = g_string_chunk_insert_const(texts, description != NULL ? description : "");
  item.access = item.value = item.range = "";
  if (listing->namesOnly) {
    g_array_append_val(features->items, item);
    return;
  }
  ArvGcAccessMode access = ARV_GC_ACCESS_MODE_UNDEFINED;
  item.status = isCategory ? ZAR_FEATURE_OK : Access(features, node, &access);
  item.access = item.status != ZAR_FEATURE_OK ? "NA"
                : isCategory                  ? ""
                                              : arv_gc_access_mode_to_string(access);
  g_string_assign(listing->value, ARV_IS_GC_COMMAND(node) ? "(command)" : "");
  if (item.status == ZAR_FEATURE_OK && access == ARV_GC_ACCESS_MODE_WO && !ARV_IS_GC_COMMAND(node))
    item.status = Fail(features, ZAR_FEATURE_NOT_AVAILABLE, "write-only");
  else if (item.status == ZAR_FEATURE_OK && !isCategory && !ARV_IS_GC_COMMAND(node))
    item.status = ReadValue(features, node, listing->value);
  if (item.status != ZAR_FEATURE_OK) g_string_assign(listing->value, features->error->str);
  item.value = g_string_chunk_insert(texts, listing->value->str);
  /* The range where it matters: to what may be written. */
  g_string_truncate(listing->range, 0);
  if (access == ARV_GC_ACCESS_MODE_RW || access == ARV_GC_ACCESS_MODE_WO) Range(node, listing->range);
  item.range = g_string_chunk_insert(texts, listing->range->str);
  g_array_append_val(features->items, item);
}

/* The category and, depth first, what it lists. */
static void AddCategory(Listing *listing, ArvGcFeatureNode *category, const char *parent, int depth) {
  const char *name = arv_gc_feature_node_get_name(category);
  if (!g_hash_table_add(listing->seen, (gpointer)name)) return;
  if (depth >= 0) Add(listing, category, parent, depth);
  for (const GSList *entry = arv_gc_category_get_features(ARV_GC_CATEGORY(category)); entry != NULL;
       entry = entry->next) {
    ArvGcNode *node = arv_gc_get_node(listing->features->genicam, entry->data);
    if (node == NULL || !IsFeature(ARV_DOM_NODE(node))) continue;
    ArvGcFeatureNode *feature = ARV_GC_FEATURE_NODE(node);
    if (!listing->all && arv_gc_feature_node_get_visibility(feature) == ARV_GC_VISIBILITY_INVISIBLE) continue;
    if (ARV_IS_GC_CATEGORY(feature))
      AddCategory(listing, feature, name, depth + 1);
    else if (g_hash_table_add(listing->seen, (gpointer)arv_gc_feature_node_get_name(feature)))
      Add(listing, feature, name, depth + 1);
  }
}

static Listing StartListing(ZAR_FEATURES *features, int flags) {
  g_array_set_size(features->items, 0);
  g_string_chunk_clear(features->texts);
  const Listing listing = {features, (flags & ZAR_FEATURES_ALL) != 0, (flags & ZAR_FEATURES_NAMES_ONLY) != 0,
                           g_hash_table_new(g_str_hash, g_str_equal), g_string_new(NULL), g_string_new(NULL)};
  return listing;
}

static void EndListing(Listing *listing) {
  g_hash_table_destroy(listing->seen);
  g_string_free(listing->value, TRUE);
  g_string_free(listing->range, TRUE);
}

int zar_features_list(ZAR_FEATURES *features, int flags, const ZAR_FEATURE_INFO **items, size_t *count) {
  if (features == NULL || items == NULL || count == NULL) return ZAR_FEATURE_BAD_VALUE;
  Listing listing = StartListing(features, flags);
  AddCategory(&listing, ARV_GC_FEATURE_NODE(arv_gc_get_node(features->genicam, "Root")), "", -1);
  if (listing.all) {
    for (ArvDomNode *child = arv_dom_node_get_first_child(ARV_DOM_NODE(arv_dom_document_get_document_element(
             ARV_DOM_DOCUMENT(features->genicam))));
         child != NULL; child = arv_dom_node_get_next_sibling(child)) {
      if (!IsFeature(child)) continue;
      ArvGcFeatureNode *feature = ARV_GC_FEATURE_NODE(child);
      if (ARV_IS_GC_CATEGORY(feature))
        AddCategory(&listing, feature, "", 0);
      else if (g_hash_table_add(listing.seen, (gpointer)arv_gc_feature_node_get_name(feature)))
        Add(&listing, feature, "", 0);
    }
  }
  EndListing(&listing);
  *items = (const ZAR_FEATURE_INFO *)(void *)features->items->data;
  *count = features->items->len;
  return ZAR_FEATURE_OK;
}

int zar_features_describe(ZAR_FEATURES *features, const char *name, const ZAR_FEATURE_INFO **info) {
  if (features == NULL || info == NULL) return ZAR_FEATURE_BAD_VALUE;
  ArvGcFeatureNode *node = Find(features, name);
  if (node == NULL) return ZAR_FEATURE_UNKNOWN;
  Listing listing = StartListing(features, 0);
  Add(&listing, node, "", 0);
  EndListing(&listing);
  *info = (const ZAR_FEATURE_INFO *)(void *)features->items->data;
  return ZAR_FEATURE_OK;
}

/* ---- Reading, writing, executing -------------------------------------- */

int zar_features_get(ZAR_FEATURES *features, const char *name, const char **value) {
  if (features == NULL || value == NULL) return ZAR_FEATURE_BAD_VALUE;
  ArvGcFeatureNode *node = Find(features, name);
  if (node == NULL) return ZAR_FEATURE_UNKNOWN;
  const int status = ReadValue(features, node, features->value);
  *value = status == ZAR_FEATURE_OK ? features->value->str : NULL;
  return status;
}

/* The text as a number of the feature's type; FALSE when it is none. */
static gboolean ParseInteger(const char *text, gint64 *value) {
  char *end = NULL;
  errno = 0;
  *value = g_ascii_strtoll(text, &end, 0);
  return *text != '\0' && end != NULL && *end == '\0' && errno == 0;
}

static gboolean ParseFloat(const char *text, double *value) {
  char *end = NULL;
  errno = 0;
  *value = g_ascii_strtod(text, &end);
  return *text != '\0' && end != NULL && *end == '\0' && errno == 0;
}

static gboolean ParseBoolean(const char *text, gboolean *value) {
  if (!g_ascii_strcasecmp(text, "true") || !strcmp(text, "1")) *value = TRUE;
  else if (!g_ascii_strcasecmp(text, "false") || !strcmp(text, "0")) *value = FALSE;
  else return FALSE;
  return TRUE;
}

int zar_features_set(ZAR_FEATURES *features, const char *name, const char *value) {
  if (features == NULL || value == NULL) return ZAR_FEATURE_BAD_VALUE;
  ArvGcFeatureNode *node = Find(features, name);
  if (node == NULL) return ZAR_FEATURE_UNKNOWN;
  if (ARV_IS_GC_CATEGORY(node)) return Fail(features, ZAR_FEATURE_WRONG_TYPE, "%s is a category", name);
  if (ARV_IS_GC_COMMAND(node))
    return Fail(features, ZAR_FEATURE_WRONG_TYPE, "%s is a command: it is executed, not set", name);
  ArvGcAccessMode access = ARV_GC_ACCESS_MODE_UNDEFINED;
  const int status = Access(features, node, &access);
  if (status != ZAR_FEATURE_OK) return status;
  if (access == ARV_GC_ACCESS_MODE_RO) return Fail(features, ZAR_FEATURE_READ_ONLY, "%s is read-only", name);
  GError *error = NULL;
  const char *type = TypeName(node);
  gint64 integer = 0;
  double number = 0;
  gboolean truth = FALSE;
  if (ARV_IS_GC_ENUMERATION(node)) {
    arv_gc_enumeration_set_string_value(ARV_GC_ENUMERATION(node), value, &error);
  } else if (ARV_IS_GC_BOOLEAN(node)) {
    if (!ParseBoolean(value, &truth))
      return Fail(features, ZAR_FEATURE_BAD_VALUE, "%s takes true or false, not '%s'", name, value);
    arv_gc_boolean_set_value(ARV_GC_BOOLEAN(node), truth, &error);
  } else if (ARV_IS_GC_STRING(node)) {
    arv_gc_string_set_value(ARV_GC_STRING(node), value, &error);
  } else if (ARV_IS_GC_INTEGER(node)) {
    if (!ParseInteger(value, &integer))
      return Fail(features, ZAR_FEATURE_BAD_VALUE, "%s takes an integer, not '%s'", name, value);
    arv_gc_integer_set_value(ARV_GC_INTEGER(node), integer, &error);
  } else if (ARV_IS_GC_FLOAT(node)) {
    if (!ParseFloat(value, &number))
      return Fail(features, ZAR_FEATURE_BAD_VALUE, "%s takes a number, not '%s'", name, value);
    arv_gc_float_set_value(ARV_GC_FLOAT(node), number, &error);
  } else {
    return Fail(features, ZAR_FEATURE_WRONG_TYPE, "%s is not set from text (its type: %s)", name, type);
  }
  return error != NULL ? FromError(features, node, value, error) : ZAR_FEATURE_OK;
}

int zar_features_execute(ZAR_FEATURES *features, const char *name) {
  if (features == NULL) return ZAR_FEATURE_BAD_VALUE;
  ArvGcFeatureNode *node = Find(features, name);
  if (node == NULL) return ZAR_FEATURE_UNKNOWN;
  if (!ARV_IS_GC_COMMAND(node))
    return Fail(features, ZAR_FEATURE_WRONG_TYPE, "%s is not a command (its type: %s)", name, TypeName(node));
  ArvGcAccessMode access = ARV_GC_ACCESS_MODE_UNDEFINED;
  const int status = Access(features, node, &access);
  if (status != ZAR_FEATURE_OK) return status;
  GError *error = NULL;
  arv_gc_command_execute(ARV_GC_COMMAND(node), &error);
  return error != NULL ? FromError(features, node, NULL, error) : ZAR_FEATURE_OK;
}

/* ---- Opening and closing --------------------------------------------- */

ZAR_FEATURES *zar_features_open(ZAR_DEV_HANDLE device, int *status, char *message, size_t messageSize) {
  ZAR_TL_HANDLE tl = NULL;
  GError *error = NULL;
  ZarArvDevice *arvDevice = NULL;
  if (zar_default_genicam_root(&error)) {
    const ZAR_STATUS opened = TLOpen(NULL, NULL, &tl);
    if (opened != ZAR_SUCCESS)
      g_set_error(&error, ZAR_ARV_DEVICE_ERROR, opened, "the transport layer cannot be opened: %d", opened);
    else
      arvDevice = zar_arv_device_new(tl, device, &error);
  }
  if (arvDevice == NULL) {
    if (status != NULL) *status = ZAR_FEATURE_NO_DESCRIPTION;
    if (message != NULL && messageSize != 0) g_strlcpy(message, error->message, messageSize);
    g_error_free(error);
    if (tl != NULL) TLClose(tl);
    return NULL;
  }
  ZAR_FEATURES *features = g_new0(ZAR_FEATURES, 1);
  features->tl = tl;
  features->device = arvDevice;
  features->genicam = arv_device_get_genicam(ARV_DEVICE(arvDevice));
  features->error = g_string_new(NULL);
  features->value = g_string_new(NULL);
  features->items = g_array_new(FALSE, TRUE, sizeof(ZAR_FEATURE_INFO));
  features->texts = g_string_chunk_new(4096);
  if (status != NULL) *status = ZAR_FEATURE_OK;
  return features;
}

void zar_features_close(ZAR_FEATURES *features) {
  if (features == NULL) return;
  g_object_unref(features->device);
  g_string_free(features->error, TRUE);
  g_string_free(features->value, TRUE);
  g_array_free(features->items, TRUE);
  g_string_chunk_free(features->texts);
  TLClose(features->tl);
  g_free(features);
}

const char *zar_features_error(const ZAR_FEATURES *features) { return features != NULL ? features->error->str : ""; }
