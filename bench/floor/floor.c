/* Reference floors for the benchmark: a class whose methods use the same
 * calling convention (METH_VARARGS | METH_KEYWORDS) and argument counts as the
 * measured module, so the suite can tell the cost of any such call apart from
 * the cost of the work done inside it.
 *
 *   callN(...)  returns its first argument: the call itself, nothing more.
 *   boundN(...) does what every call of the measured module must do before and
 *               after its operation: bind positional/keyword arguments, encode
 *               each str argument to UTF-8 and copy it into owned memory, then
 *               build a fresh str for the result (from the first argument).
 *
 * Built only for the benchmark, against the full (not limited) C API. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    PyObject_HEAD
} FloorObject;

/* Same shape as any METH_VARARGS method: the first positional argument, or the
 * first keyword value when called by name. */
static PyObject *first_arg(PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) > 0) return PyTuple_GET_ITEM(args, 0);
    if (kwargs != NULL) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        if (PyDict_Next(kwargs, &pos, &key, &value)) return value;
    }
    PyErr_SetString(PyExc_TypeError, "missing argument");
    return NULL;
}

#define DEFINE_CALL(N)                                                        \
    static PyObject *call##N(PyObject *self, PyObject *args, PyObject *kw) {  \
        (void)self;                                                           \
        PyObject *r = first_arg(args, kw);                                    \
        Py_XINCREF(r);                                                        \
        return r;                                                             \
    }
DEFINE_CALL(1)
DEFINE_CALL(2)
DEFINE_CALL(3)

/* An owned copy with a short-string buffer, as a C++ std::string would keep:
 * short ids cost no heap allocation, longer text costs one malloc. */
typedef struct {
    char *data;
    Py_ssize_t len;
    char small[16];
} Owned;

static const char *const kNames[3] = {"a", "b", "c"};

/* Positional first, then keywords by exact name; every slot must be filled. */
static int bind(PyObject *args, PyObject *kwargs, int n, PyObject **slots) {
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > n) {
        PyErr_Format(PyExc_TypeError, "takes %d positional arguments but %zd were given", n,
                     given);
        return -1;
    }
    for (int i = 0; i < n; ++i) slots[i] = i < given ? PyTuple_GET_ITEM(args, i) : NULL;
    if (kwargs != NULL) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int found = -1;
            for (int i = 0; i < n; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, kNames[i]) == 0) {
                    found = i;
                    break;
                }
            }
            if (found < 0 || slots[found] != NULL) {
                PyErr_SetString(PyExc_TypeError, "bad keyword argument");
                return -1;
            }
            slots[found] = value;
        }
    }
    for (int i = 0; i < n; ++i) {
        if (slots[i] == NULL) {
            PyErr_SetString(PyExc_TypeError, "missing argument");
            return -1;
        }
    }
    return 0;
}

/* Encode to UTF-8 and copy into memory the call owns. */
static int to_owned(PyObject *arg, Owned *out) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "argument must be str");
        return -1;
    }
    PyObject *bytes = PyUnicode_AsUTF8String(arg);
    if (bytes == NULL) return -1;
    char *data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(bytes, &data, &len) != 0) {
        Py_DECREF(bytes);
        return -1;
    }
    out->data = (size_t)len < sizeof out->small ? out->small : malloc((size_t)len + 1);
    if (out->data == NULL) {
        Py_DECREF(bytes);
        PyErr_NoMemory();
        return -1;
    }
    memcpy(out->data, data, (size_t)len + 1);
    out->len = len;
    Py_DECREF(bytes);
    return 0;
}

static PyObject *bound_n(PyObject *args, PyObject *kwargs, int n) {
    PyObject *slots[3];
    Owned owned[3];
    for (int i = 0; i < 3; ++i) owned[i].data = NULL;
    PyObject *result = NULL;
    if (bind(args, kwargs, n, slots) != 0) return NULL;
    for (int i = 0; i < n; ++i) {
        if (to_owned(slots[i], &owned[i]) != 0) goto done;
    }
    result = PyUnicode_FromStringAndSize(owned[0].data, owned[0].len);
done:
    for (int i = 0; i < n; ++i) {
        if (owned[i].data != owned[i].small) free(owned[i].data);
    }
    return result;
}

#define DEFINE_BOUND(N)                                                        \
    static PyObject *bound##N(PyObject *self, PyObject *args, PyObject *kw) {  \
        (void)self;                                                            \
        return bound_n(args, kw, N);                                           \
    }
DEFINE_BOUND(1)
DEFINE_BOUND(2)
DEFINE_BOUND(3)

#define METHOD(name) {#name, (PyCFunction)(void (*)(void))name, METH_VARARGS | METH_KEYWORDS, NULL}
static PyMethodDef floor_methods[] = {
    METHOD(call1), METHOD(call2), METHOD(call3),
    METHOD(bound1), METHOD(bound2), METHOD(bound3),
    {NULL, NULL, 0, NULL},
};

static PyTypeObject FloorType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "halvex_floor.Floor",
    .tp_basicsize = sizeof(FloorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = floor_methods,
    .tp_new = PyType_GenericNew,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "halvex_floor", "Benchmark reference floors.", -1,
    NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_halvex_floor(void) {
    if (PyType_Ready(&FloorType) < 0) return NULL;
    PyObject *m = PyModule_Create(&floor_module);
    if (m == NULL) return NULL;
    Py_INCREF(&FloorType);
    if (PyModule_AddObject(m, "Floor", (PyObject *)&FloorType) < 0) {
        Py_DECREF(&FloorType);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
