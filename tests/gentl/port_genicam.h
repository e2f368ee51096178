#pragma once
// A GenICam node map over a GenTL port, built by Aravis' GenICam engine
// from a description file: registers are read and written through the
// port functions the caller gives. Linux, where Aravis is.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Reads (write 0) or writes (write 1) size bytes at address; 0 on success.
typedef int (*PortAccess)(void *context, uint64_t address, void *buffer, size_t size, int write);

typedef struct PortNodeMap PortNodeMap;

// Null when the file holds no description with a Root category.
PortNodeMap *port_node_map_new(PortAccess access, void *context, const char *xml, size_t size);
void port_node_map_free(PortNodeMap *map);
// 0 on success.
int port_node_map_integer(PortNodeMap *map, const char *name, int64_t *value);
int port_node_map_set_integer(PortNodeMap *map, const char *name, int64_t value);
// The feature's value as text (an enumeration's entry name); 0 on success.
int port_node_map_text(PortNodeMap *map, const char *name, char *out, size_t size);

#ifdef __cplusplus
}
#endif
