// CAB library: unpacks a cabinet archive flat into a directory.
//
// int do_decab(const char *archive, const char *dir)
//   archive: path of the cabinet file; dir: existing directory to unpack into
//   (with or without a trailing separator). Both are zero-terminated 8-bit
//   strings (the system code page on Windows, bytes on Linux).
//   Returns nonzero when every file of the archive was written into dir under
//   the last component of its stored name (folders are dropped; of entries
//   ending in the same name, case ignored, the last one is written), 0
//   otherwise. On 0, every file the call created in dir has been removed again.
#ifndef CABLIB_CABLIB_H
#define CABLIB_CABLIB_H

#if defined(_WIN32)
#  if defined(CABLIB_BUILDING)
#    define CABLIB_API __declspec(dllexport)
#  else
#    define CABLIB_API __declspec(dllimport)
#  endif
#  define CABLIB_CALL __cdecl
#else
#  define CABLIB_API __attribute__((visibility("default")))
#  define CABLIB_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

CABLIB_API int CABLIB_CALL do_decab(const char* archive, const char* dir);

#ifdef __cplusplus
}
#endif

#endif
