/* CPython 3.7's configuration on Windows, for building this extension against 3.7's own headers
   with MinGW-w64 (cmake/windows.cmake puts it in place of the headers' own pyconfig.h, which is
   the configuration of the system they were installed on). Only what the public headers read, set
   to what the python37.dll of python.org's Windows installers was built with: a DLL (so the
   interpreter's functions and data are imported), Windows threads, and Windows' type sizes
   (LLP64 on x64: long stays 4 bytes; wchar_t is 2 bytes on both). */
#ifndef DEKO_WINDOWS_PYCONFIG_H
#define DEKO_WINDOWS_PYCONFIG_H

#if !defined(_WIN32) || defined(_MSC_VER)
#error "this pyconfig.h is for MinGW-w64 builds for Windows; MSVC builds use the interpreter's own"
#endif

/* The platform. */
#define MS_WIN32
#define MS_WINDOWS
#ifdef _WIN64
#define MS_WIN64
#endif
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* The interpreter is python37.dll: its API is imported (PyAPI_FUNC, PyAPI_DATA) and the module's
   entry exported (PyMODINIT_FUNC), through __declspec. A release build: no Py_DEBUG. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Sizes. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_WCHAR_T 2
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#ifdef _WIN64
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_HKEY 8
#else
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#define SIZEOF_UINTPTR_T 4
#define SIZEOF_HKEY 4
#endif
#define HAVE_LONG_LONG 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* What the C library has (without HAVE_SNPRINTF the headers would make snprintf _snprintf). */
#define HAVE_WCHAR_H 1
#define HAVE_SNPRINTF 1
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISNAN 1
#define HAVE_DECL_ISFINITE 1

/* The interpreter's own choices, as its Windows build makes them. */
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

/* The headers' own checks: the layouts they describe need these sizes. */
#if defined(__SIZEOF_LONG__) && __SIZEOF_LONG__ != SIZEOF_LONG
#error "long is not 4 bytes: not a Windows target"
#endif
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ != SIZEOF_VOID_P
#error "pointer size and _WIN64 disagree"
#endif
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ != SIZEOF_WCHAR_T
#error "wchar_t is not 2 bytes: not a Windows target"
#endif

#endif /* DEKO_WINDOWS_PYCONFIG_H */
