/* The buffer protocol for a module on the Limited API of Python 3.8.
 *
 * Py_buffer, PyObject_GetBuffer() and PyBuffer_Release() joined the Limited
 * API in Python 3.11, unchanged: the struct's layout and the two symbols are
 * the same in every CPython since 3.3, which exports them on every POSIX
 * interpreter. Where the headers give them (a Limited API of 3.11 or later)
 * they are used; otherwise they are declared here as 3.11 declares them. On
 * Windows an abi3 module links python3.dll, which forwards these two
 * functions from 3.11 on only: there the module needs Python 3.11. */
#ifndef TARVIX_PYTHON_BUFFER_COMPAT_H
#define TARVIX_PYTHON_BUFFER_COMPAT_H

#include <Python.h>

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030b0000

typedef struct {
  void* buf;
  PyObject* obj; /* owned reference */
  Py_ssize_t len;
  Py_ssize_t itemsize;
  int readonly;
  int ndim;
  char* format;
  Py_ssize_t* shape;
  Py_ssize_t* strides;
  Py_ssize_t* suboffsets;
  void* internal;
} Py_buffer;

PyAPI_FUNC(int) PyObject_GetBuffer(PyObject* obj, Py_buffer* view, int flags);
PyAPI_FUNC(void) PyBuffer_Release(Py_buffer* view);

#define PyBUF_SIMPLE 0
#define PyBUF_WRITABLE 0x0001
/* The flags of PyMemoryView_FromMemory(), in the Limited API since 3.3. */
#define PyBUF_READ 0x100
#define PyBUF_WRITE 0x200

#endif

#endif /* TARVIX_PYTHON_BUFFER_COMPAT_H */
