// The state proxy: an interaction's parameters by name, and as a dictionary.
#include "_tolq.h"

// A type's getattr and setattr may fail without an exception of their own, and the proxy
// words the error; a MemoryError is not reworded, so that no caller takes a failed
// allocation for a missing parameter.
static bool out_of_memory(void)
{
    return PyErr_ExceptionMatches(PyExc_MemoryError);
}

// The interaction behind a proxy, with a new reference, or null with ReferenceError once it
// has been freed. The proxy holds none of its own, and the calls below run Python code
// (hashing, __float__, comparisons) that may drop every other reference to it.
static PyInteraction_Object *hold_interaction(PyInteractionState_Object *self)
{
    PyInteraction_Object *interaction = self->interaction;
    if (interaction == nullptr) {
        PyErr_SetString(PyExc_ReferenceError,
                        "the interaction of this state no longer exists");
        return nullptr;
    }
    Py_INCREF(interaction);
    return interaction;
}

// A parameter change runs Python code before it writes. Its mark, taken together with the
// busy test and held to the end, keeps any query from starting on the interaction meanwhile
// (another thread could otherwise bind it in that window and run its passes under the
// write); the reference held by the caller keeps the record alive.
static int begin_change(PyInteraction_Object *interaction)
{
    if (interaction_check_not_busy(interaction) < 0) {
        return -1;
    }
    interaction->changing++;
    return 0;
}

static void end_change(PyInteraction_Object *interaction)
{
    interaction->changing--;
}

int tolq_number_as_float(PyObject *value, float *out)
{
    if (!PyNumber_Check(value)) {
        return -1;
    }
    PyObject *f = PyNumber_Float(value);
    if (f == nullptr) {
        return -1;
    }
    *out = (float)PyFloat_AsDouble(f);
    Py_DECREF(f);
    return 0;
}

static PyObject *PyInteractionState_GetAttr(PyObject *obj, PyObject *attr)
{
    PyInteractionState_Object *self = (PyInteractionState_Object *)obj;
    const char *name = PyUnicode_AsUTF8(attr);
    if (name == nullptr) {
        return nullptr;
    }
    if (name[0] == '_') {
        return PyObject_GenericGetAttr(obj, attr);
    }
    PyInteraction_Object *interaction = hold_interaction(self);
    PyObject *value = nullptr;
    if (interaction == nullptr) {
        return nullptr;
    }
    if (interaction->typeobj->getattr == nullptr) {
        PyErr_Format(PyExc_AttributeError, "Interaction '%s' does not support attributes",
                     interaction->type);
        goto error;
    }
    value = interaction->typeobj->getattr(interaction, name);
    if (value == nullptr && !out_of_memory()) {
        PyErr_Format(PyExc_AttributeError, "No such attribute '%s'", name);
    }
error:
    Py_DECREF(interaction);
    return value;
}

static int PyInteractionState_SetAttr(PyObject *obj, PyObject *attr, PyObject *value)
{
    PyInteractionState_Object *self = (PyInteractionState_Object *)obj;
    const char *name = PyUnicode_AsUTF8(attr);
    if (name == nullptr) {
        return -1;
    }
    if (name[0] == '_') {
        return PyObject_GenericSetAttr(obj, attr, value);
    }
    PyInteraction_Object *interaction = hold_interaction(self);
    int rc = -1;
    if (interaction == nullptr) {
        return -1;
    }
    if (interaction->typeobj->setattr == nullptr) {
        PyErr_Format(PyExc_AttributeError, "Interaction '%s' does not support attributes",
                     interaction->type);
        goto error;
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "Parameter '%s' of interaction '%s' cannot be deleted",
                     name, interaction->type);
        goto error;
    }
    if (begin_change(interaction) < 0) {
        goto error;
    }
    rc = interaction->typeobj->setattr(interaction, name, value);
    end_change(interaction);
    if (rc != 0) {
        rc = -1;
        if (!out_of_memory()) {
            PyErr_Format(PyExc_AttributeError, "No such attribute '%s'", name);
        }
    }
error:
    Py_DECREF(interaction);  // may free it, now that nothing more is written
    return rc;
}

static int PyInteractionState_init(PyObject *, PyObject *, PyObject *)
{
    return 0;
}

static PyObject *PyInteractionState_todict(PyObject *obj, PyObject *)
{
    PyInteraction_Object *interaction = hold_interaction((PyInteractionState_Object *)obj);
    if (interaction == nullptr) {
        return nullptr;
    }
    interaction_type *t = interaction->typeobj;
    PyObject *dict = PyDict_New();
    if (dict == nullptr) {
        goto error;
    }
    if (t->attributes == nullptr || t->getattr == nullptr) {
        goto done;
    }
    for (const char *const *name = t->attributes; *name != nullptr; name++) {
        PyObject *value = t->getattr(interaction, *name);
        if (value == nullptr) {
            goto error;
        }
        int rc = PyDict_SetItemString(dict, *name, value);
        Py_DECREF(value);
        if (rc < 0) {
            goto error;
        }
    }
done:
    Py_DECREF(interaction);
    return dict;
error:
    Py_XDECREF(dict);
    Py_DECREF(interaction);
    return nullptr;
}

static PyObject *PyInteractionState_get__dict__(PyObject *obj, void *)
{
    return PyInteractionState_todict(obj, nullptr);
}

static PyObject *PyInteractionState_fromdict(PyObject *obj, PyObject *d)
{
    PyInteraction_Object *interaction = hold_interaction((PyInteractionState_Object *)obj);
    interaction_type *t;
    PyObject *result = nullptr;
    bool changing = false;
    if (interaction == nullptr) {
        return nullptr;
    }
    if (!PyDict_Check(d)) {
        PyErr_SetString(PyExc_ValueError, "Argument must be dict");
        goto error;
    }
    t = interaction->typeobj;
    if (PyDict_GET_SIZE(d) > 0 && t->attributes != nullptr && t->setattr != nullptr) {
        if (begin_change(interaction) < 0) {
            goto error;
        }
        changing = true;
        for (const char *const *name = t->attributes; *name != nullptr; name++) {
            PyObject *value;
            int found = tolq_dict_lookup(d, *name, &value);
            if (found < 0) {
                goto error;
            }
            if (found == 0) {
                continue;  // a missing name is skipped
            }
            int rc = t->setattr(interaction, *name, value);
            Py_DECREF(value);
            if (rc != 0) {
                if (!out_of_memory()) {
                    PyErr_Format(PyExc_RuntimeError,
                                 "Interaction '%s' internal error setting attribute",
                                 interaction->type);
                }
                goto error;
            }
        }
    }
    result = Py_None;
    Py_INCREF(result);
error:
    if (changing) {
        end_change(interaction);
    }
    Py_DECREF(interaction);
    return result;
}

static PyMethodDef PyInteractionState_methods[] = {
    {"_to_dict", PyInteractionState_todict, METH_NOARGS,
     "Get the state as a dict. This internal function is used for serialization of the "
     "interaction."},
    {"_from_dict", PyInteractionState_fromdict, METH_O,
     "Update the state from a dict. This internal function is used for deserialization of an "
     "interaction."},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef PyInteractionState_getsetters[] = {
    {"__dict__", PyInteractionState_get__dict__, nullptr,
     "Get properties of the interaction state", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(interactionstate_doc,
             "The InteractionState object encapsulates the state of a single Interaction\n\n"
             "The actual properties of the state depends on the interaction. You may examine "
             "them using dir() or though the InteractionState.__dict__ property.\n");

PyTypeObject PyInteractionState_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "_tolq.InteractionState",          /* tp_name */
    sizeof(PyInteractionState_Object), /* tp_basicsize */
    0,                                 /* tp_itemsize */
    nullptr,                           /* tp_dealloc */
    0,                                 /* tp_vectorcall_offset */
    nullptr,                           /* tp_getattr */
    nullptr,                           /* tp_setattr */
    nullptr,                           /* tp_as_async */
    nullptr,                           /* tp_repr */
    nullptr,                           /* tp_as_number */
    nullptr,                           /* tp_as_sequence */
    nullptr,                           /* tp_as_mapping */
    nullptr,                           /* tp_hash */
    nullptr,                           /* tp_call */
    nullptr,                           /* tp_str */
    PyInteractionState_GetAttr,        /* tp_getattro */
    PyInteractionState_SetAttr,        /* tp_setattro */
    nullptr,                           /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,                /* tp_flags */
    interactionstate_doc,              /* tp_doc */
    nullptr,                           /* tp_traverse */
    nullptr,                           /* tp_clear */
    nullptr,                           /* tp_richcompare */
    0,                                 /* tp_weaklistoffset */
    nullptr,                           /* tp_iter */
    nullptr,                           /* tp_iternext */
    PyInteractionState_methods,        /* tp_methods */
    nullptr,                           /* tp_members */
    PyInteractionState_getsetters,     /* tp_getset */
    nullptr,                           /* tp_base */
    nullptr,                           /* tp_dict */
    nullptr,                           /* tp_descr_get */
    nullptr,                           /* tp_descr_set */
    0,                                 /* tp_dictoffset */
    PyInteractionState_init,           /* tp_init */
    nullptr,                           /* tp_alloc */
    nullptr,                           /* tp_new */
    nullptr,                           /* tp_free */
    nullptr,                           /* tp_is_gc */
    nullptr,                           /* tp_bases */
    nullptr,                           /* tp_mro */
    nullptr,                           /* tp_cache */
    nullptr,                           /* tp_subclasses */
    nullptr,                           /* tp_weaklist */
    nullptr,                           /* tp_del */
    0,                                 /* tp_version_tag */
    nullptr,                           /* tp_finalize */
    TOLQ_TYPE_OBJECT_TAIL
};

PyObject *interactionstate_addtomodule(PyObject *m)
{
    if (PyType_Ready(&PyInteractionState_Type) < 0) {
        return nullptr;
    }
    return m;
}
