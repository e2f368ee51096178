#include "feature_names.h"

#include <glib.h>
#include <string.h>

/* Levenshtein distance, letter case ignored. */
static size_t Distance(const char *a, const char *b) {
  const size_t lengthB = strlen(b);
  size_t *row = g_new(size_t, lengthB + 1);
  for (size_t j = 0; j <= lengthB; ++j) row[j] = j;
  for (size_t i = 1; a[i - 1] != '\0'; ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= lengthB; ++j) {
      const size_t above = row[j];
      const size_t substitution = diagonal + (g_ascii_tolower(a[i - 1]) != g_ascii_tolower(b[j - 1]));
      row[j] = MIN(MIN(above + 1, row[j - 1] + 1), substitution);
      diagonal = above;
    }
  }
  const size_t distance = row[lengthB];
  g_free(row);
  return distance;
}

typedef struct Candidate {
  const char *name;
  size_t distance;
} Candidate;

static int ByDistance(const void *a, const void *b) {
  const Candidate *x = a, *y = b;
  if (x->distance != y->distance) return x->distance < y->distance ? -1 : 1;
  return strcmp(x->name, y->name);
}

char *zar_feature_nearest_names(const char *wanted, const char *const *names, size_t count, size_t most) {
  Candidate *candidates = g_new(Candidate, count + 1);
  size_t kept = 0;
  /* Near: at most half of the longer name's characters changed. */
  for (size_t i = 0; i < count; ++i) {
    const size_t distance = Distance(wanted, names[i]);
    if (2 * distance <= MAX(strlen(wanted), strlen(names[i]))) candidates[kept++] = (Candidate){names[i], distance};
  }
  qsort(candidates, kept, sizeof *candidates, ByDistance);
  GString *text = g_string_new(NULL);
  for (size_t i = 0; i < kept && i < most; ++i) g_string_append_printf(text, "%s%s", i ? ", " : "", candidates[i].name);
  g_free(candidates);
  return g_string_free(text, FALSE);
}
