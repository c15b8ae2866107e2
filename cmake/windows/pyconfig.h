/* The interpreter's build settings for 64-bit Windows, as a limited-API
 * extension needs them when it is cross-compiled with a MinGW-style (clang or
 * gcc) compiler. The official Windows installers ship their own pyconfig.h
 * for MSVC; the settings that shape the stable ABI are the same: LLP64 sizes,
 * a pointer-sized Py_ssize_t, and every API symbol imported from python3.dll.
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64)
#error "this pyconfig.h describes 64-bit Windows only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* Extensions import the API from the interpreter's DLL. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1
#define HAVE_LONG_LONG 1
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define LONG_BIT 32
#define WORD_BIT 32
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

#endif /* Py_CONFIG_H */
