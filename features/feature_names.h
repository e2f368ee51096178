/* Suggestions for a mistyped feature name. */
#ifndef ZAR_FEATURE_NAMES_H
#define ZAR_FEATURE_NAMES_H

#include <stddef.h>

/* Up to `most` of the names nearest to `wanted` (fewest single-character
 * edits, letter case ignored), comma-separated, nearest first; names that
 * share too little with it are left out. A new string (g_free); "" when no
 * name is near. */
char *zar_feature_nearest_names(const char *wanted, const char *const *names, size_t count, size_t most);

#endif /* ZAR_FEATURE_NAMES_H */
