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
 *   result1(a)  the result floor: binds and encodes its one argument as bound1
 *               does, then builds what an inbox read must hand back: a list of
 *               n 4-tuples (str, str, str, int) made from UTF-8 bytes and
 *               integers stored in C memory, with the argument's str as item 1
 *               of every tuple. load(messages) stores the n messages, each a
 *               (from, content, timestamp) tuple; it is not timed.
 *
 * Built only for the benchmark, against the full (not limited) C API. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    char *from, *content;
    Py_ssize_t from_len, content_len;
    unsigned long long timestamp;
} StoredMessage;

typedef struct {
    PyObject_HEAD
    StoredMessage *stored;
    Py_ssize_t n;
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

static void free_stored(FloorObject *self) {
    for (Py_ssize_t i = 0; i < self->n; ++i) {
        free(self->stored[i].from);
        free(self->stored[i].content);
    }
    free(self->stored);
    self->stored = NULL;
    self->n = 0;
}

static char *copy_utf8(PyObject *s, Py_ssize_t *len) {
    const char *data = PyUnicode_AsUTF8AndSize(s, len);
    if (data == NULL) return NULL;
    char *out = malloc((size_t)*len + 1);
    if (out == NULL) {
        PyErr_NoMemory();
        return NULL;
    }
    memcpy(out, data, (size_t)*len + 1);
    return out;
}

static PyObject *load(PyObject *op, PyObject *messages) {
    FloorObject *self = (FloorObject *)op;
    free_stored(self);
    PyObject *seq = PySequence_Fast(messages, "load() takes a sequence of tuples");
    if (seq == NULL) return NULL;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    self->stored = calloc((size_t)(n > 0 ? n : 1), sizeof(StoredMessage));
    if (self->stored == NULL) {
        Py_DECREF(seq);
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *from, *content;
        unsigned long long ts;
        StoredMessage *m = &self->stored[i];
        self->n = i + 1;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, i), "UUK", &from, &content, &ts) ||
            (m->from = copy_utf8(from, &m->from_len)) == NULL ||
            (m->content = copy_utf8(content, &m->content_len)) == NULL) {
            Py_DECREF(seq);
            free_stored(self);
            return NULL;
        }
        m->timestamp = ts;
    }
    Py_DECREF(seq);
    Py_RETURN_NONE;
}

static PyObject *result1(PyObject *op, PyObject *args, PyObject *kw) {
    FloorObject *self = (FloorObject *)op;
    PyObject *slots[1];
    Owned owned;
    owned.data = NULL;
    if (bind(args, kw, 1, slots) != 0 || to_owned(slots[0], &owned) != 0) return NULL;
    PyObject *owner = PyUnicode_FromStringAndSize(owned.data, owned.len);
    if (owned.data != owned.small) free(owned.data);
    if (owner == NULL) return NULL;
    PyObject *list = PyList_New(self->n);
    for (Py_ssize_t i = 0; list != NULL && i < self->n; ++i) {
        const StoredMessage *m = &self->stored[i];
        PyObject *t = PyTuple_New(4);
        PyObject *from = PyUnicode_FromStringAndSize(m->from, m->from_len);
        PyObject *content = PyUnicode_FromStringAndSize(m->content, m->content_len);
        PyObject *at = PyLong_FromUnsignedLongLong(m->timestamp);
        if (t == NULL || from == NULL || content == NULL || at == NULL) {
            Py_XDECREF(t);
            Py_XDECREF(from);
            Py_XDECREF(content);
            Py_XDECREF(at);
            Py_CLEAR(list);
            break;
        }
        Py_INCREF(owner);
        PyTuple_SET_ITEM(t, 0, from);
        PyTuple_SET_ITEM(t, 1, owner);
        PyTuple_SET_ITEM(t, 2, content);
        PyTuple_SET_ITEM(t, 3, at);
        PyList_SET_ITEM(list, i, t);
    }
    Py_DECREF(owner);
    return list;
}

static void floor_dealloc(PyObject *op) {
    free_stored((FloorObject *)op);
    Py_TYPE(op)->tp_free(op);
}

#define METHOD(name) {#name, (PyCFunction)(void (*)(void))name, METH_VARARGS | METH_KEYWORDS, NULL}
static PyMethodDef floor_methods[] = {
    METHOD(call1), METHOD(call2), METHOD(call3),
    METHOD(bound1), METHOD(bound2), METHOD(bound3),
    METHOD(result1),
    {"load", load, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject FloorType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "halvex_floor.Floor",
    .tp_basicsize = sizeof(FloorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = floor_methods,
    .tp_dealloc = floor_dealloc,
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
