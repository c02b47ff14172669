/* A stand-in for the CAB library: writes a marker file into the target
   directory so a caller can see it was called with its arguments. */
#include <stdio.h>
#include <string.h>

#ifdef QUON_STUB_EXPORT
__attribute__((visibility("default"))) int do_decab(const char *archive, const char *dir) {
  char path[4096];
  FILE *f;
  if (snprintf(path, sizeof path, "%s/decab.txt", dir) >= (int)sizeof path) return 0;
  f = fopen(path, "w");
  if (f == NULL) return 0;
  fputs(archive, f);
  fclose(f);
  return strstr(archive, "bad") == NULL;
}
#else
__attribute__((visibility("default"))) int something_else(void) { return 1; }
#endif
