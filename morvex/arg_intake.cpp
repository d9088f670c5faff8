// Argument intake shared by run_loop and fib: one parameter, given
// positionally or by keyword, converted to a 32-bit signed integer at the
// call boundary. Nothing here allocates.
#include "morvex/module.h"

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <utility>

namespace {

// A null-terminated run of state slots holding interned parameter names.
using ArgNames = PyObject **const *;

// ---------------------------------------------------------------------------
// Messages

__PYX_COLD int __Pyx_RaiseArgtupleInvalid(const char *func_name, int exact, Py_ssize_t num_min,
                                          Py_ssize_t num_max, Py_ssize_t num_found) {
    Py_ssize_t num_expected = num_found < num_min ? num_min : num_max;
    const char *more_or_less = exact ? "exactly" : num_found < num_min ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func_name, more_or_less, num_expected, num_expected == 1 ? "" : "s", num_found);
    return -1;
}

__PYX_COLD int raise_unexpected_keyword(const char *func_name, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name, key);
    return -1;
}

__PYX_COLD int raise_multiple_values(const char *func_name, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_name,
                 key);
    return -1;
}

__PYX_COLD int raise_keywords_not_strings(const char *func_name) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
    return -1;
}

// ---------------------------------------------------------------------------
// Matching a keyword name that is not one of the parameter names by identity

// Equal text, tested cheapest first: the cached hashes, the lengths, the
// storage kinds, then the bytes.
bool __Pyx_UnicodeKeywordsEqual(PyObject *name, PyObject *key, Py_hash_t key_hash) {
    if (reinterpret_cast<PyASCIIObject *>(name)->hash != key_hash)
        return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length != PyUnicode_GET_LENGTH(key))
        return false;
    int kind = PyUnicode_KIND(name);
    if (kind != PyUnicode_KIND(key))
        return false;
    return memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key), size_t(length) * size_t(kind)) == 0;
}

// For an exact str: 1 with *index_found set, 0 for no parameter, -1 raised
// (hashing failed, or the key names a parameter given positionally).
int __Pyx_MatchKeywordArg_str(PyObject *key, ArgNames argnames, ArgNames first_kw_arg,
                              Py_ssize_t *index_found, const char *function_name) {
    Py_hash_t key_hash = reinterpret_cast<PyASCIIObject *>(key)->hash;
    if (key_hash == -1 && (key_hash = PyObject_Hash(key)) == -1)
        return -1;
    for (ArgNames name = first_kw_arg; *name; name++) {
        if (__Pyx_UnicodeKeywordsEqual(**name, key, key_hash)) {
            *index_found = name - argnames;
            return 1;
        }
    }
    for (ArgNames name = argnames; name != first_kw_arg; name++) {
        if (__Pyx_UnicodeKeywordsEqual(**name, key, key_hash))
            return raise_multiple_values(function_name, key);
    }
    return 0;
}

// For any other key: only str subclasses can name a parameter, compared
// with the key's own equality.
int __Pyx_MatchKeywordArg_nostr(PyObject *key, ArgNames argnames, ArgNames first_kw_arg,
                                Py_ssize_t *index_found, const char *function_name) {
    if (!PyUnicode_Check(key))
        return raise_keywords_not_strings(function_name);
    for (ArgNames name = first_kw_arg; *name; name++) {
        int equal = PyObject_RichCompareBool(**name, key, Py_EQ);
        if (equal == 1) {
            *index_found = name - argnames;
            return 1;
        }
        if (equal < 0)
            return -1;
    }
    for (ArgNames name = argnames; name != first_kw_arg; name++) {
        int equal = PyObject_RichCompareBool(**name, key, Py_EQ);
        if (equal == 1)
            return raise_multiple_values(function_name, key);
        if (equal < 0)
            return -1;
    }
    return 0;
}

int __Pyx_MatchKeywordArg(PyObject *key, ArgNames argnames, ArgNames first_kw_arg,
                          Py_ssize_t *index_found, const char *function_name) {
    if (Py_IS_TYPE(key, &PyUnicode_Type))
        return __Pyx_MatchKeywordArg_str(key, argnames, first_kw_arg, index_found, function_name);
    return __Pyx_MatchKeywordArg_nostr(key, argnames, first_kw_arg, index_found, function_name);
}

// Stores a new reference to `value` for parameter `index`. A slot that is
// already filled means two keywords named one parameter (possible only
// through callers that break the protocol, or keys equal by text alone);
// refusing keeps the first reference from leaking.
int store_keyword_value(PyObject **values, Py_ssize_t index, PyObject *value, PyObject *key,
                        const char *function_name) {
    if (values[index])
        return raise_multiple_values(function_name, key);
    values[index] = Py_NewRef(value);
    return 0;
}

// ---------------------------------------------------------------------------
// Keyword containers

// Keywords as a tuple of names whose values follow the positionals.
int __Pyx_ParseKeywordsTuple(PyObject *kwds, PyObject *const *kwvalues, ArgNames argnames,
                             PyObject **values, Py_ssize_t num_pos_args, Py_ssize_t num_kwargs,
                             const char *function_name) {
    ArgNames first_kw_arg = argnames + num_pos_args;
    for (Py_ssize_t pos = 0; pos < num_kwargs; pos++) {
        PyObject *key = PyTuple_GET_ITEM(kwds, pos);
        ArgNames name = first_kw_arg;
        while (*name && **name != key)
            name++;
        Py_ssize_t index = name - argnames;
        if (!*name) {
            int matched = __Pyx_MatchKeywordArg(key, argnames, first_kw_arg, &index, function_name);
            if (matched < 0)
                return -1;
            if (matched == 0)
                return raise_unexpected_keyword(function_name, key);
        }
        if (store_keyword_value(values, index, kwvalues[pos], key, function_name) < 0)
            return -1;
    }
    return 0;
}

// Walks the keys that the lookups did not account for. An unknown name is
// rejected. A key equal to a parameter name only by its own equality (a str
// subclass that hashes differently) supplies that parameter while it is
// still empty, as in the tuple path; a key left over after that gave one
// parameter a second value. Keys and values are held while compared, since
// the comparison may run code that changes the dictionary, even empty it.
__PYX_COLD int __Pyx_RejectUnknownKeyword(PyObject *kwds, ArgNames argnames,
                                          ArgNames first_kw_arg, PyObject **values,
                                          Py_ssize_t extracted, Py_ssize_t num_kwargs,
                                          const char *function_name) {
    Py_ssize_t pos = 0;
    PyObject *borrowed_key, *borrowed_value;
    OwnedRef surplus;
    while (PyDict_Next(kwds, &pos, &borrowed_key, &borrowed_value)) {
        ArgNames name = first_kw_arg;
        while (*name && **name != borrowed_key)
            name++;
        if (*name)
            continue;
        OwnedRef key(Py_NewRef(borrowed_key)), value(Py_NewRef(borrowed_value));
        Py_ssize_t index = 0;
        int matched =
            __Pyx_MatchKeywordArg(key.get(), argnames, first_kw_arg, &index, function_name);
        if (matched < 0)
            return -1;
        if (matched == 0)
            return raise_unexpected_keyword(function_name, key.get());
        if (values[index]) {
            surplus = std::move(key);
        } else {
            values[index] = value.release();
            extracted++;
        }
    }
    if (surplus && extracted < num_kwargs)
        return raise_multiple_values(function_name, surplus.get());
    // Every key left was accounted for. Fewer than were counted is possible
    // when comparisons removed keys; a parameter left empty by that is the
    // caller's to report.
    return 0;
}

// Keywords as a dictionary from any other caller: the parameter names are
// looked up first, and only a shortfall makes the keys be walked.
int __Pyx_ParseKeywordDict(PyObject *kwds, ArgNames argnames, PyObject **values,
                           Py_ssize_t num_pos_args, Py_ssize_t num_kwargs,
                           const char *function_name) {
    if (!PyArg_ValidateKeywordArguments(kwds))
        return -1;
    ArgNames first_kw_arg = argnames + num_pos_args;
    Py_ssize_t extracted = 0;
    for (ArgNames name = first_kw_arg; *name && extracted < num_kwargs; name++) {
        PyObject *value = PyDict_GetItemWithError(kwds, **name);  // borrowed
        if (value) {
            values[name - argnames] = Py_NewRef(value);
            extracted++;
        } else if (PyErr_Occurred()) {
            return -1;
        }
    }
    if (extracted >= num_kwargs)
        return 0;
    return __Pyx_RejectUnknownKeyword(kwds, argnames, first_kw_arg, values, extracted, num_kwargs,
                                      function_name);
}

int __Pyx_ParseKeywords(PyObject *kwds, PyObject *const *kwvalues, ArgNames argnames,
                        PyObject **values, Py_ssize_t num_pos_args, Py_ssize_t num_kwargs,
                        const char *function_name) {
    if (PyTuple_Check(kwds))
        return __Pyx_ParseKeywordsTuple(kwds, kwvalues, argnames, values, num_pos_args,
                                        num_kwargs, function_name);
    return __Pyx_ParseKeywordDict(kwds, argnames, values, num_pos_args, num_kwargs,
                                  function_name);
}

// ---------------------------------------------------------------------------
// Conversion to a 32-bit signed integer

#if LONG_MAX > INT32_MAX
// Where long is 32 bits, PyLong_AsLong alone bounds the value and says
// this; a wider long gets the same words for every value out of range, so
// the refusal reads alike on every platform.
__PYX_COLD int raise_int_overflow() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return -1;
}
#endif

// The value of an int (or subclass); -1 with OverflowError outside 32 bits.
int __Pyx_PyLong_ReadInt32(PyObject *x) {
    PyLongObject *v = reinterpret_cast<PyLongObject *>(x);
    if (_PyLong_IsCompact(v))
        return int(_PyLong_CompactValue(v));  // compact ints hold at most 30 bits
    long value = PyLong_AsLong(x);  // -1 with OverflowError beyond long
#if LONG_MAX > INT32_MAX
    if (value < INT32_MIN || value > INT32_MAX)
        return raise_int_overflow();
#endif
    return int(value);
}

// New reference to the result of the type's __int__, checked to be an int;
// a strict subclass is accepted with a DeprecationWarning.
__PYX_COLD PyObject *__Pyx_PyNumber_Long(PyObject *x) {
    PyNumberMethods *number = Py_TYPE(x)->tp_as_number;
    PyObject *result = number && number->nb_int ? number->nb_int(x) : nullptr;
    if (!result) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(result))
        return result;
    if (PyLong_Check(result)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result)->tp_name) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return nullptr;
}

// 32-bit value of any object: ints are read directly, never through their
// own __int__; anything else goes through nb_int (not __index__).
int __Pyx_PyLong_As_int(PyObject *x) {
    if (PyLong_Check(x))
        return __Pyx_PyLong_ReadInt32(x);
    PyObject *as_long = __Pyx_PyNumber_Long(x);
    if (!as_long)
        return -1;
    int value = __Pyx_PyLong_ReadInt32(as_long);
    Py_DECREF(as_long);
    return value;
}

// ---------------------------------------------------------------------------
// Collecting the argument

// Fills values[0] with a new reference to the one argument; -1 raised.
int collect_argument(const __Pyx_OneIntParam &param, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwds, PyObject **values) {
    Py_ssize_t num_kwargs = 0;
    if (kwds) {
        num_kwargs = PyTuple_Check(kwds) ? PyTuple_GET_SIZE(kwds) : PyDict_Size(kwds);
        if (num_kwargs < 0)
            return -1;
    }
    if (num_kwargs == 0) {
        if (nargs != 1)
            return __Pyx_RaiseArgtupleInvalid(param.function_name, 1, 1, 1, nargs);
        values[0] = Py_NewRef(args[0]);
        return 0;
    }
    // Keywords are present: too many positionals fail before any is looked at.
    if (nargs > 1)
        return __Pyx_RaiseArgtupleInvalid(param.function_name, 1, 1, 1, nargs);
    if (nargs == 1)
        values[0] = Py_NewRef(args[0]);
    if (__Pyx_ParseKeywords(kwds, args + nargs, param.argnames, values, nargs, num_kwargs,
                            param.function_name) < 0)
        return -1;
    // Keys whose comparison emptied the dictionary supplied nothing.
    if (!values[0])
        return __Pyx_RaiseArgtupleInvalid(param.function_name, 1, 1, 1, nargs);
    return 0;
}

}  // namespace

__Pyx_IntArg __Pyx_TakeOneIntArgSlow(const __Pyx_OneIntParam &param, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwds) {
    PyObject *values[1] = {nullptr};
    if (collect_argument(param, args, nargs, kwds, values) == 0) {
        int value = __Pyx_PyLong_As_int(values[0]);
        if (value != -1 || !PyErr_Occurred())
            return {values[0], value};
    }
    Py_XDECREF(values[0]);
    __Pyx_AddTraceback(param.qualname, param.def_line);
    return {nullptr, -1};
}
