// The Python face of tarna_mesh, the only translation unit that touches the interpreter or NumPy.
//
//   class Mesher(voxel_resolution=..., axis_order="XYZ", y_down=False, relaxation=0,
//                max_deviation=0.5, relaxation_step=0.5, taubin=0, taubin_pass_band=0.1,
//                taubin_lambda=0.63, fairing=0, fairing_step=0.5, fairing_junction_rule=True,
//                fairing_taubin=False, fairing_pass_band=0.1, fairing_lambda=0.63, threads=0)
//       mesh(labels, close=False, owned_shape=None) -> None
//       ids() -> ndarray[uint64]
//       contains(label) -> bool
//       erase(label) -> bool
//       clear() -> None
//       get(label, normals=False, reduction_factor=0, max_error=None)
//           -> (vertices float32 (N, 3), faces uint32 (M, 3), normals float32 (N, 3) | None) | None
//       effective_threads -> int;  len(mesher) -> int;  repr(mesher) -> str
//   dice(vertices, faces, chunk_shape, grid_origin, grid_size, quantization_bits=None)
//       -> {(i, j, k): (vertices, faces)}
//
// Built against the limited API of Python 3.11, so one binary serves every later interpreter.
// The NumPy API table is fetched at first use, not at import. This layer binds and converts
// arguments, takes the borrow and hands over arrays; the work and its checks are the core's
// (mesher.hpp), whose typed exceptions become Python ones in one place.

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_21_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common.hpp"
#include "dice.hpp"
#include "format.hpp"
#include "grid.hpp"
#include "mesh.hpp"
#include "mesher.hpp"
#include "pool.hpp"

namespace {

using namespace tarna;

// ---------------------------------------------------------------------------------------------
// Helpers and converters

// An owned reference, released on scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* object) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* object) {
        Py_XDECREF(object_);
        object_ = object;
    }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

PyObject* panic_exception = nullptr;  // derives from BaseException; made by the exec slot

void raise_fault(const char* message) {
    PyErr_SetString(panic_exception ? panic_exception : PyExc_SystemError, message);
}

// Called only from inside `catch (...)` at a boundary: turns the C++ exception into a Python one.
// note: not noexcept, and neither are the boundary functions: a thread ended by cancellation or
// by interpreter finalization (which exits threads that try to take the lock back) unwinds
// through them with the runtime's forced unwind, which must pass; stopping it aborts the process.
// That unwind is a foreign exception, one without an exception_ptr, and is recognised as such:
// a handler naming abi::__forced_unwind binds a reference to no object, which the undefined-
// behaviour sanitizer rightly reports.
PyObject* raise_current_exception() {
    if (!std::current_exception()) throw;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a size no container can hold, e.g. from a hostile __len__
    } catch (const InvalidArgument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const LimitError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const PoolError& error) {
        PyErr_SetString(PyExc_ValueError, (std::string("thread pool: ") + error.what()).c_str());
    } catch (const InputChanged& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const std::exception& error) {
        raise_fault(error.what());
    } catch (...) {
        raise_fault("unknown internal error");
    }
    return nullptr;
}

// Runs `work` with the interpreter lock released and returns its result once the lock is back.
// An exception from `work` is carried across as data and rethrown only then: retaking the lock
// during interpreter finalization ends the thread with a forced unwind, and one that starts
// while another exception is unwinding aborts the process. Hold no Python reference in a
// destructor-run holder across this call: that unwind runs destructors without the lock.
template <class Work>
auto without_lock(Work&& work) {
    using Result = decltype(work());
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    PyThreadState* state = PyEval_SaveThread();
    try {
        if constexpr (std::is_void_v<Result>) {
            work();
        } else {
            result.emplace(work());
        }
    } catch (...) {
        error = std::current_exception();
        if (!error) throw;  // a forced unwind while unlocked: there is no lock to take back
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// Attaches "while processing '<name>'" to the exception being raised; always returns false.
bool add_note(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        const std::string note = std::string("while processing '") + name + "'";
        Ref result(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
        if (!result) {
            // The note could not be added; report the original failure rather than this one.
            PyErr_Clear();
        }
    }
    PyErr_Restore(type, value, traceback);
    return false;
}

std::string type_name(PyObject* object) {
    Ref name(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return text;
}

bool set_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// TypeError "'<type>' object <what>", naming the type of what was received.
// note: out of line; inlined into the converters, GCC 12 warns falsely about the concatenation.
[[gnu::noinline]] bool set_object_type_error(PyObject* object, const std::string& what) {
    std::string message = "'";
    message += type_name(object);
    message += "' object ";
    message += what;
    return set_type_error(message);
}

bool set_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// One parameter of a callable: its name, its default as the text signature shows it (nullptr
// for a required one), and the converter that fills its field of the callable's argument
// record. The tables below drive binding, conversion with its notes, and the text signature.
template <class Arguments>
struct Parameter {
    const char* name;
    const char* default_text;
    bool (*convert)(PyObject*, Arguments&);  // false with a Python exception set
};

// "(a, b=1)" or "($self, a, b=1)".
template <class Arguments>
std::string text_signature(std::span<const Parameter<Arguments>> table, bool method) {
    std::string text = method ? "($self" : "(";
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (method || i > 0) text += ", ";
        text += table[i].name;
        if (table[i].default_text != nullptr) text += std::string("=") + table[i].default_text;
    }
    return text + ")";
}

// The form the interpreter splits into __text_signature__ and __doc__.
template <class Arguments>
std::string docstring(const char* name, std::span<const Parameter<Arguments>> table, bool method, const char* body) {
    return name + text_signature(table, method) + "\n--\n\n" + body;
}

// Binds positional and keyword arguments to the table's parameters with the interpreter's own
// wording for mistakes. Absent parameters come back as nullptr; all pointers are borrowed.
template <class Arguments>
bool bind_arguments(const char* callable, PyObject* args, PyObject* kwargs, std::span<const Parameter<Arguments>> table,
                    PyObject** out) {
    const std::size_t count = table.size();
    std::size_t required = 0;
    while (required < count && table[required].default_text == nullptr) ++required;
    std::fill(out, out + count, nullptr);
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    if (std::size_t(given) > count) {
        std::string message = std::string(callable) + " takes ";
        if (required == count) {
            message += std::to_string(count);
        } else {
            message += "from " + std::to_string(required) + " to " + std::to_string(count);
        }
        message += " positional argument" + std::string(count == 1 && required == count ? "" : "s") + " but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given";
        return set_type_error(message);
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) return set_type_error(std::string(callable) + " keywords must be strings");
            const char* key_text = PyUnicode_AsUTF8AndSize(key, nullptr);
            if (key_text == nullptr) return false;
            std::size_t index = count;
            for (std::size_t i = 0; i < count; ++i) {
                if (std::strcmp(table[i].name, key_text) == 0) index = i;
            }
            if (index == count) {
                return set_type_error(std::string(callable) + " got an unexpected keyword argument '" + key_text + "'");
            }
            if (out[index] != nullptr) {
                return set_type_error(std::string(callable) + " got multiple values for argument '" + key_text + "'");
            }
            out[index] = value;
        }
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) missing.push_back(table[i].name);
    }
    if (!missing.empty()) {
        std::string message = std::string(callable) + " missing " + std::to_string(missing.size()) +
                              " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) message += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            message += std::string("'") + missing[i] + "'";
        }
        return set_type_error(message);
    }
    return true;
}

// Converts the present arguments in parameter order; the first failure stops, noted with the
// parameter's name.
template <class Arguments>
bool convert_arguments(std::span<const Parameter<Arguments>> table, PyObject* const* given, Arguments& arguments) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (given[i] != nullptr && !table[i].convert(given[i], arguments)) return add_note(table[i].name);
    }
    return true;
}

// Converters: each returns false with a Python exception set; the caller adds the note.

bool convert_u64(PyObject* object, std::uint64_t& value) {
    Ref index(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == (unsigned long long)-1 && PyErr_Occurred()) return false;
    value = result;
    return true;
}

bool convert_u32(PyObject* object, std::uint32_t& value) {
    Ref index(PyNumber_Index(object));
    if (!index) return false;
    const long long wide = PyLong_AsLongLong(index.get());
    if (wide == -1 && PyErr_Occurred()) return false;
    if (wide < 0 || wide > 0xFFFFFFFFll) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    value = std::uint32_t(wide);
    return true;
}

bool convert_i64(PyObject* object, std::int64_t& value) {
    Ref index(PyNumber_Index(object));
    if (!index) return false;
    const long long result = PyLong_AsLongLong(index.get());
    if (result == -1 && PyErr_Occurred()) return false;
    value = result;
    return true;
}

bool convert_f64(PyObject* object, double& value) {
    const double result = PyFloat_AsDouble(object);
    if (result == -1.0 && PyErr_Occurred()) return false;
    value = result;
    return true;
}

// NumPy's boolean scalar type, recognised by name so that booleans need no NumPy import.
bool is_numpy_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref module(PyObject_GetAttrString(type, "__module__"));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    const char* module_name = PyUnicode_AsUTF8AndSize(module.get(), nullptr);
    if (module_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    const std::string name = type_name(object);
    return std::strcmp(module_name, "numpy") == 0 && (name == "bool_" || name == "bool");
}

bool convert_bool(PyObject* object, bool& value) {
    if (PyBool_Check(object)) {
        value = object == Py_True;
        return true;
    }
    if (is_numpy_bool(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        value = truth == 1;
        return true;
    }
    return set_object_type_error(object, "is not an instance of 'bool'");
}

// A sequence (never a str) converted item by item; any length.
template <class Item, bool (*Convert)(PyObject*, Item&)>
bool convert_sequence(PyObject* object, std::vector<Item>& items) {
    if (PyUnicode_Check(object)) return set_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) {
        return set_object_type_error(object, "cannot be converted to 'Sequence'");
    }
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) return false;
    items.clear();
    // A length no vector can hold (a hostile __len__) fails as Python's own list() does.
    if (std::size_t(length) > items.max_size()) return PyErr_NoMemory(), false;
    try {
        items.reserve(std::size_t(length));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory(), false;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        Ref item(PySequence_GetItem(object, i));
        if (!item) return false;
        Item value{};
        if (!Convert(item.get(), value)) return false;
        items.push_back(value);
    }
    return true;
}

// Exactly three items, for dice's fixed-size arguments.
template <class Item, bool (*Convert)(PyObject*, Item&)>
bool convert_triple(PyObject* object, std::array<Item, 3>& triple) {
    std::vector<Item> items;
    if (!convert_sequence<Item, Convert>(object, items)) return false;
    if (items.size() != 3) {
        PyErr_SetString(PyExc_ValueError,
                        ("expected a sequence of length 3 (got " + std::to_string(items.size()) + ")").c_str());
        return false;
    }
    std::copy(items.begin(), items.end(), triple.begin());
    return true;
}

// None leaves the value absent; anything else must convert.
template <class Value, bool (*Convert)(PyObject*, Value&)>
bool convert_optional(PyObject* object, std::optional<Value>& value) {
    if (object == Py_None) return true;
    Value converted{};
    if (!Convert(object, converted)) return false;
    value = std::move(converted);
    return true;
}

bool convert_axis_order(PyObject* object, std::u32string& code_points) {
    if (!PyUnicode_Check(object)) return set_object_type_error(object, "is not an instance of 'str'");
    const Py_ssize_t length = PyUnicode_GetLength(object);
    if (length < 0) return false;
    std::vector<Py_UCS4> buffer(std::size_t(length) + 1);
    if (length > 0 && PyUnicode_AsUCS4(object, buffer.data(), length, 0) == nullptr) return false;
    code_points.assign(buffer.begin(), buffer.begin() + length);
    return true;
}

// Kept as it is, for checks that come later in the call.
bool keep_object(PyObject* object, PyObject*& kept) {
    kept = object;
    return true;
}

// A converter into the field reached from the argument record through `Path` (one member
// pointer, or several for a nested record).
template <class Arguments, auto Convert, auto... Path>
bool convert_field(PyObject* object, Arguments& arguments) {
    return Convert(object, (arguments.*....*Path));
}
template <class Arguments, auto Convert, auto... Path>
constexpr Parameter<Arguments> parameter(const char* name, const char* default_text) {
    return {name, default_text, &convert_field<Arguments, Convert, Path...>};
}

// A character as a quoted literal, 'W', '\'', '\u{7f}', with the interpreter's notion of what
// prints as itself beyond ASCII.
std::string quote_char(char32_t code_point) {
    if (code_point < 0x80) return quote_ascii(code_point);
    Ref single(PyUnicode_FromOrdinal(int(code_point)));
    Ref printable(single ? PyObject_CallMethod(single.get(), "isprintable", nullptr) : nullptr);
    Ref encoded(single ? PyUnicode_AsUTF8String(single.get()) : nullptr);
    std::string body;
    if (printable.get() == Py_True && encoded) {
        char* bytes = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) == 0) body.assign(bytes, std::size_t(length));
    }
    PyErr_Clear();
    return body.empty() ? quote_ascii(code_point) : "'" + body + "'";
}

// The NumPy C API table, fetched once, at first use.
bool numpy_ready() {
    static bool ready = false;
    if (ready) return true;
    if (_import_array() < 0) return false;
    ready = true;
    return true;
}

// Capsule destructor: frees the vector that owns an array's buffer.
template <class T>
void free_owner(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, "tarna_mesh.buffer"));
}

// A fresh array of `dims` that takes over `values` (no copy) through an owner object as its base.
template <class T>
PyObject* hand_over(std::vector<T>&& values, int ndim, npy_intp* dims, int typenum) {
    if (values.empty()) return PyArray_SimpleNew(ndim, dims, typenum);
    auto* owned = new std::vector<T>(std::move(values));
    Ref capsule(PyCapsule_New(owned, "tarna_mesh.buffer", &free_owner<T>));
    if (!capsule) {
        delete owned;
        return nullptr;
    }
    Ref array(PyArray_SimpleNewFromData(ndim, dims, typenum, owned->data()));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

// Rows of three become an (N, 3) array: packed rows already are one flat buffer of exactly 3N
// values, so the buffer is a multiple of 3 by construction.
template <class T>
PyObject* hand_over_rows(std::vector<std::array<T, 3>>&& rows, int typenum) {
    static_assert(sizeof(std::array<T, 3>) == 3 * sizeof(T), "rows must be packed");
    npy_intp dims[2] = {npy_intp(rows.size()), 3};
    return hand_over(std::move(rows), 2, dims, typenum);
}

// (vertices, faces, normals or None), each a fresh array owning its memory. Consumes the mesh.
PyObject* to_arrays(TriangleMesh&& mesh) {
    std::optional<std::vector<Point3f>> normal_rows = std::move(mesh.normals);
    mesh.vertex_flags = std::vector<std::uint8_t>();
    Ref vertices(hand_over_rows(std::move(mesh.vertices), NPY_FLOAT32));
    if (!vertices) return nullptr;
    Ref faces(hand_over_rows(std::move(mesh.faces), NPY_UINT32));
    if (!faces) return nullptr;
    Ref normals;
    if (normal_rows) {
        normals.reset(hand_over_rows(std::move(*normal_rows), NPY_FLOAT32));
        if (!normals) return nullptr;
    } else {
        Py_INCREF(Py_None);
        normals.reset(Py_None);
    }
    return PyTuple_Pack(3, vertices.get(), faces.get(), normals.get());
}

// ---------------------------------------------------------------------------------------------
// The Mesher type

struct MesherObject {
    PyObject_HEAD long borrow;  // 0 free, > 0 shared borrows, -1 exclusive; only touched through atomic_ref
    Mesher* core;
};

enum class Access { shared, exclusive };

// A borrow of a Mesher, taken with compare-and-swap and never waited for.
class Borrow {
public:
    static std::optional<Borrow> take(PyObject* self, Access access) {
        std::atomic_ref<long> flag(reinterpret_cast<MesherObject*>(self)->borrow);
        if (access == Access::exclusive) {
            long expected = 0;
            if (!flag.compare_exchange_strong(expected, -1)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return std::nullopt;
            }
            return Borrow(self, true);
        }
        long current = flag.load();
        do {
            if (current < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return std::nullopt;
            }
        } while (!flag.compare_exchange_weak(current, current + 1));
        return Borrow(self, false);
    }
    Borrow(Borrow&& other) noexcept : self_(std::exchange(other.self_, nullptr)), exclusive_(other.exclusive_) {}
    Borrow(const Borrow&) = delete;
    ~Borrow() {
        if (self_ == nullptr) return;
        std::atomic_ref<long> flag(reinterpret_cast<MesherObject*>(self_)->borrow);
        if (exclusive_) {
            flag.store(0);
        } else {
            flag.fetch_sub(1);
        }
    }

private:
    Borrow(PyObject* self, bool exclusive) : self_(self), exclusive_(exclusive) {}
    PyObject* self_;
    bool exclusive_;
};

// What a boundary function returns when it fails with a Python exception set.
template <class Result>
constexpr Result failed_result() {
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        return Result(-1);
    }
}

// The opening of every Mesher method without arguments: borrow, run, translate any C++
// exception; the borrow is given back on every path.
template <Access access, class Body>
auto with_mesher(PyObject* self, Body&& body) {
    using Result = decltype(body(std::declval<Mesher&>()));
    try {
        auto borrow = Borrow::take(self, access);
        if (!borrow) return failed_result<Result>();
        return body(*reinterpret_cast<MesherObject*>(self)->core);
    } catch (...) {
        raise_current_exception();
        return failed_result<Result>();
    }
}

// The same for methods with arguments: bind, borrow, convert in parameter order, run.
template <Access access, class Arguments, std::size_t N, class Body>
PyObject* with_arguments(const char* callable, const Parameter<Arguments> (&table)[N], PyObject* self, PyObject* args,
                         PyObject* kwargs, Body&& body) {
    try {
        PyObject* given[N];
        if (!bind_arguments<Arguments>(callable, args, kwargs, table, given)) return nullptr;
        return with_mesher<access>(self, [&](Mesher& core) -> PyObject* {
            Arguments arguments;
            if (!convert_arguments<Arguments>(table, given, arguments)) return nullptr;
            return body(core, arguments);
        });
    } catch (...) {
        return raise_current_exception();
    }
}

constexpr Parameter<Settings> MESHER_PARAMETERS[] = {
    parameter<Settings, &convert_sequence<double, convert_f64>, &Settings::voxel_resolution>("voxel_resolution", "..."),
    parameter<Settings, convert_axis_order, &Settings::axis_order>("axis_order", "\"XYZ\""),
    parameter<Settings, convert_bool, &Settings::y_down>("y_down", "False"),
    parameter<Settings, convert_u32, &Settings::smoothing, &SmoothingSettings::relaxation>("relaxation", "0"),
    parameter<Settings, convert_f64, &Settings::smoothing, &SmoothingSettings::max_deviation>("max_deviation", "0.5"),
    parameter<Settings, convert_f64, &Settings::smoothing, &SmoothingSettings::relaxation_step>("relaxation_step",
                                                                                                "0.5"),
    parameter<Settings, convert_u32, &Settings::smoothing, &SmoothingSettings::taubin>("taubin", "0"),
    parameter<Settings, convert_f64, &Settings::smoothing, &SmoothingSettings::taubin_pass_band>("taubin_pass_band",
                                                                                                 "0.1"),
    parameter<Settings, convert_f64, &Settings::smoothing, &SmoothingSettings::taubin_lambda>("taubin_lambda", "0.63"),
    parameter<Settings, convert_u32, &Settings::smoothing, &SmoothingSettings::fairing>("fairing", "0"),
    parameter<Settings, convert_f64, &Settings::smoothing, &SmoothingSettings::fairing_step>("fairing_step", "0.5"),
    parameter<Settings, convert_bool, &Settings::smoothing, &SmoothingSettings::fairing_junction_rule>(
        "fairing_junction_rule", "True"),
    parameter<Settings, convert_bool, &Settings::smoothing, &SmoothingSettings::fairing_taubin>("fairing_taubin",
                                                                                                "False"),
    parameter<Settings, convert_f64, &Settings::smoothing, &SmoothingSettings::fairing_pass_band>("fairing_pass_band",
                                                                                                  "0.1"),
    parameter<Settings, convert_f64, &Settings::smoothing, &SmoothingSettings::fairing_lambda>("fairing_lambda",
                                                                                               "0.63"),
    parameter<Settings, convert_u64, &Settings::threads>("threads", "0"),
};

PyObject* mesher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        PyObject* given[std::size(MESHER_PARAMETERS)];
        if (!bind_arguments<Settings>("Mesher.__new__()", args, kwargs, MESHER_PARAMETERS, given)) return nullptr;
        Settings settings;
        settings.quote = quote_char;
        if (!convert_arguments<Settings>(MESHER_PARAMETERS, given, settings)) return nullptr;
        auto core = std::make_unique<Mesher>(settings);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* object = reinterpret_cast<MesherObject*>(self);
        object->borrow = 0;
        object->core = core.release();
        return self;
    } catch (...) {
        return raise_current_exception();
    }
}

void mesher_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<MesherObject*>(self)->core;  // its pool stops before its surfaces are freed
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* mesher_repr(PyObject* self) {
    return with_mesher<Access::shared>(self, [](Mesher& core) {
        std::string text = "Mesher(voxel_resolution=[";
        for (int k = 0; k < 3; ++k) text += (k ? ", " : "") + format_repr(core.frame().voxel_resolution[k]);
        text += "], threads=" + std::to_string(core.effective_threads()) +
                ", objects=" + std::to_string(core.object_count()) + ")";
        return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    });
}

Py_ssize_t mesher_len(PyObject* self) {
    return with_mesher<Access::shared>(self, [](Mesher& core) { return Py_ssize_t(core.object_count()); });
}

PyObject* mesher_effective_threads(PyObject* self, void*) {
    return with_mesher<Access::shared>(self, [](Mesher& core) { return PyLong_FromSize_t(core.effective_threads()); });
}

// The first label width whose native unsigned dtype the array's dtype is equivalent to.
int label_width(PyObject* labels) {
    if (!PyArray_Check(labels)) return 0;
    auto* array = reinterpret_cast<PyArrayObject*>(labels);
    if (PyArray_NDIM(array) != 3) return 0;
    const int typenums[4][2] = {
        {NPY_UINT8, NPY_UINT8}, {NPY_UINT16, NPY_UINT16}, {NPY_UINT32, NPY_UINT32}, {NPY_ULONG, NPY_ULONGLONG}};
    for (int width_index = 0; width_index < 4; ++width_index) {
        for (int typenum : typenums[width_index]) {
            PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
            const bool match = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
            Py_DECREF(wanted);
            if (match) return 1 << width_index;
        }
    }
    return 0;
}

// The labels where they lie, or, for a view whose byte strides are not whole elements or whose
// data is misaligned (rare arrays that cannot be read element-wise in place), a C-ordered copy
// in `copy`. The copy is a plain buffer, so no Python object is held while the lock is released.
template <class Label>
VolumeView<Label> view_of(PyArrayObject* array, std::vector<Label>& copy) {
    const auto* data = static_cast<const char*>(PyArray_DATA(array));
    std::array<std::uint64_t, 3> shape;
    std::array<std::int64_t, 3> byte_strides;
    bool whole_elements = reinterpret_cast<std::uintptr_t>(data) % alignof(Label) == 0;
    for (int k = 0; k < 3; ++k) {
        shape[k] = std::uint64_t(PyArray_DIM(array, k));
        byte_strides[k] = std::int64_t(PyArray_STRIDE(array, k));
        whole_elements = whole_elements && byte_strides[k] % std::int64_t(sizeof(Label)) == 0;
    }
    VolumeView<Label> view;
    view.shape = shape;
    if (!whole_elements) {
        copy.resize(std::size_t(shape[0] * shape[1] * shape[2]));
        Label* out = copy.data();
        for (std::uint64_t i = 0; i < shape[0]; ++i)
            for (std::uint64_t j = 0; j < shape[1]; ++j)
                for (std::uint64_t k = 0; k < shape[2]; ++k, ++out)
                    std::memcpy(out,
                                data + std::int64_t(i) * byte_strides[0] + std::int64_t(j) * byte_strides[1] +
                                    std::int64_t(k) * byte_strides[2],
                                sizeof(Label));
        data = reinterpret_cast<const char*>(copy.data());
        byte_strides = {std::int64_t(shape[1] * shape[2] * sizeof(Label)), std::int64_t(shape[2] * sizeof(Label)),
                        std::int64_t(sizeof(Label))};
    }
    view.data = reinterpret_cast<const Label*>(data);
    for (int k = 0; k < 3; ++k) view.strides[k] = shape[k] == 0 ? 0 : byte_strides[k] / std::int64_t(sizeof(Label));
    return view;
}

template <class Label>
void mesh_view(Mesher& core, PyArrayObject* array, const MeshRequest& request) {
    std::vector<Label> copy;
    const VolumeView<Label> view = view_of<Label>(array, copy);
    without_lock([&] { core.mesh(view, request); });
}

struct MeshArguments {
    PyObject* labels = nullptr;
    bool close = false;
    std::optional<std::vector<std::uint64_t>> owned_shape;
};

constexpr Parameter<MeshArguments> MESH_PARAMETERS[] = {
    parameter<MeshArguments, keep_object, &MeshArguments::labels>("labels", nullptr),
    parameter<MeshArguments, convert_bool, &MeshArguments::close>("close", "False"),
    parameter<MeshArguments,
              &convert_optional<std::vector<std::uint64_t>, &convert_sequence<std::uint64_t, convert_u64>>,
              &MeshArguments::owned_shape>("owned_shape", "None"),
};

PyObject* mesh_labels(Mesher& core, MeshArguments& arguments) {
    // From here a failing call leaves no surfaces: the old ones are freed before the new pass.
    core.discard();
    MeshRequest request;
    request.close = arguments.close;
    if (arguments.owned_shape) request.owned_shape = Mesher::owned_region(*arguments.owned_shape);
    if (!numpy_ready()) return nullptr;
    const int width = label_width(arguments.labels);
    if (width == 0) {
        return set_type_error(
                   "labels must be a 3-D numpy array of uint8, uint16, uint32 or uint64. Signed arrays can be "
                   "reinterpreted without copying, e.g. labels.view(np.uint32) for an int32 array."),
               nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(arguments.labels);
    std::array<std::uint64_t, 3> shape;
    for (int k = 0; k < 3; ++k) shape[k] = std::uint64_t(PyArray_DIM(array, k));
    Mesher::check_volume_shape(shape);
    switch (width) {
        case 1: mesh_view<std::uint8_t>(core, array, request); break;
        case 2: mesh_view<std::uint16_t>(core, array, request); break;
        case 4: mesh_view<std::uint32_t>(core, array, request); break;
        default: mesh_view<std::uint64_t>(core, array, request); break;
    }
    Py_RETURN_NONE;
}

PyObject* mesher_mesh(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_arguments<Access::exclusive>("Mesher.mesh()", MESH_PARAMETERS, self, args, kwargs, mesh_labels);
}

PyObject* mesher_ids(PyObject* self, PyObject*) {
    return with_mesher<Access::shared>(self, [](Mesher& core) -> PyObject* {
        if (!numpy_ready()) return nullptr;
        std::vector<std::uint64_t> labels;
        if (core.extraction()) labels = core.extraction()->sorted_labels;
        npy_intp dims[1] = {npy_intp(labels.size())};
        return hand_over(std::move(labels), 1, dims, NPY_UINT64);
    });
}

struct LabelArgument {
    std::uint64_t label = 0;
};

constexpr Parameter<LabelArgument> LABEL_PARAMETERS[] = {
    parameter<LabelArgument, convert_u64, &LabelArgument::label>("label", nullptr),
};

PyObject* mesher_contains(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_arguments<Access::shared>(
        "Mesher.contains()", LABEL_PARAMETERS, self, args, kwargs,
        [](Mesher& core, LabelArgument& argument) { return PyBool_FromLong(core.contains(argument.label)); });
}

PyObject* mesher_erase(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_arguments<Access::exclusive>(
        "Mesher.erase()", LABEL_PARAMETERS, self, args, kwargs,
        [](Mesher& core, LabelArgument& argument) { return PyBool_FromLong(core.erase(argument.label)); });
}

PyObject* mesher_clear(PyObject* self, PyObject*) {
    return with_mesher<Access::exclusive>(self, [](Mesher& core) -> PyObject* {
        core.clear();
        Py_RETURN_NONE;
    });
}

struct GetArguments {
    std::uint64_t label = 0;
    GetRequest request;
};

constexpr Parameter<GetArguments> GET_PARAMETERS[] = {
    parameter<GetArguments, convert_u64, &GetArguments::label>("label", nullptr),
    parameter<GetArguments, convert_bool, &GetArguments::request, &GetRequest::normals>("normals", "False"),
    parameter<GetArguments, convert_u32, &GetArguments::request, &GetRequest::reduction_factor>("reduction_factor",
                                                                                                "0"),
    parameter<GetArguments, &convert_optional<double, convert_f64>, &GetArguments::request, &GetRequest::max_error>(
        "max_error", "None"),
};

PyObject* mesher_get(PyObject* self, PyObject* args, PyObject* kwargs) {
    return with_arguments<Access::shared>(
        "Mesher.get()", GET_PARAMETERS, self, args, kwargs, [](Mesher& core, GetArguments& arguments) -> PyObject* {
            std::optional<TriangleMesh> mesh =
                without_lock([&] { return core.get(arguments.label, arguments.request); });
            if (!mesh) Py_RETURN_NONE;
            if (!numpy_ready()) return nullptr;
            return to_arrays(std::move(*mesh));
        });
}

// Docstrings in the form the interpreter splits into text signature and body; built once, from
// the parameter tables, before the type is made.
const char* const MESH_DOC =
    "Mesh a 3-D array of unsigned integer labels.\n"
    "\n"
    "With `close`, the volume is treated as if surrounded by background, so\n"
    "objects reaching the array edge come back sealed. This costs nothing:\n"
    "the border is virtual, not a padded copy of the input.";
const char* const GET_DOC =
    "Arrays for one object, or `None` if the label is absent.\n"
    "\n"
    "`reduction_factor` asks for that many times fewer faces;\n"
    "`max_error` caps how far simplification may move any vertex.";
const char* const MESHER_DOC = "Extracts every object's surface from a labelled volume in a single pass.";

constexpr std::span<const Parameter<LabelArgument>> NO_PARAMETERS{};

struct Docstrings {
    std::string mesher = docstring<Settings>("Mesher", MESHER_PARAMETERS, false, MESHER_DOC);
    std::string mesh = docstring<MeshArguments>("mesh", MESH_PARAMETERS, true, MESH_DOC);
    std::string ids = docstring("ids", NO_PARAMETERS, true,
                                "Label ids present in the volume, ascending. Background (0) is excluded.");
    std::string contains = docstring<LabelArgument>("contains", LABEL_PARAMETERS, true, "Whether a label is present.");
    std::string erase =
        docstring<LabelArgument>("erase", LABEL_PARAMETERS, true, "Drop one object's surface, freeing its memory.");
    std::string clear = docstring("clear", NO_PARAMETERS, true, "Drop every stored surface.");
    std::string get = docstring<GetArguments>("get", GET_PARAMETERS, true, GET_DOC);
};

const Docstrings& docstrings() {
    static const Docstrings texts;
    return texts;
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef MESHER_METHODS[] = {
    {"mesh", as_method(&mesher_mesh), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"ids", as_method(&mesher_ids), METH_NOARGS, nullptr},
    {"contains", as_method(&mesher_contains), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"erase", as_method(&mesher_erase), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"clear", as_method(&mesher_clear), METH_NOARGS, nullptr},
    {"get", as_method(&mesher_get), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void set_method_docs() {
    const Docstrings& texts = docstrings();
    const std::string* docs[] = {&texts.mesh, &texts.ids, &texts.contains, &texts.erase, &texts.clear, &texts.get};
    for (std::size_t i = 0; i < std::size(docs); ++i) MESHER_METHODS[i].ml_doc = docs[i]->c_str();
}

PyGetSetDef MESHER_GETSET[] = {
    {"effective_threads", &mesher_effective_threads, nullptr,
     "Threads actually used: the configured count, or every core when 0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot MESHER_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(&mesher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&mesher_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&mesher_repr)},
    {Py_mp_length, reinterpret_cast<void*>(&mesher_len)},
    {Py_tp_methods, MESHER_METHODS},
    {Py_tp_getset, MESHER_GETSET},
    {Py_tp_doc, nullptr},  // filled from the parameter table before the type is made
    {0, nullptr},
};

PyType_Spec MESHER_SPEC = {
    "tarna_mesh._tarna_mesh.Mesher",
    sizeof(MesherObject),
    0,
    Py_TPFLAGS_DEFAULT,  // no BASETYPE: Mesher cannot be subclassed
    MESHER_SLOTS,
};

// Made on first use and shared by every module instance: the module keeps no per-module state.
PyObject* mesher_type = nullptr;

PyObject* make_mesher_type() {
    set_method_docs();
    for (PyType_Slot& slot : MESHER_SLOTS) {
        if (slot.slot == Py_tp_doc) slot.pfunc = const_cast<char*>(docstrings().mesher.c_str());
    }
    return PyType_FromSpec(&MESHER_SPEC);
}

// ---------------------------------------------------------------------------------------------
// Module functions

// A 2-D array of exactly the given dtype, or a TypeError naming what was expected.
template <int Typenum>
bool convert_matrix(PyObject* object, PyArrayObject*& matrix) {
    if (PyArray_Check(object)) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        PyArray_Descr* wanted = PyArray_DescrFromType(Typenum);
        const bool match = PyArray_NDIM(array) == 2 && PyArray_EquivTypes(PyArray_DESCR(array), wanted);
        Py_DECREF(wanted);
        if (match) {
            matrix = array;
            return true;
        }
    }
    const char* dtype_name = Typenum == NPY_FLOAT32 ? "float32" : "uint32";
    return set_object_type_error(object, std::string("cannot be converted to a 2-D numpy array of ") + dtype_name);
}

// The rows of an (N, 3) array with any strides, as packed triples.
template <class T>
std::vector<std::array<T, 3>> copy_rows(PyArrayObject* array) {
    const npy_intp count = PyArray_DIM(array, 0);
    std::vector<std::array<T, 3>> rows(static_cast<std::size_t>(count));
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp row_stride = PyArray_STRIDE(array, 0), item_stride = PyArray_STRIDE(array, 1);
    if (row_stride == npy_intp(3 * sizeof(T)) && item_stride == npy_intp(sizeof(T))) {
        if (count > 0) std::memcpy(rows.data(), base, std::size_t(count) * 3 * sizeof(T));
        return rows;
    }
    for (npy_intp row = 0; row < count; ++row) {
        for (int c = 0; c < 3; ++c) std::memcpy(&rows[row][c], base + row * row_stride + c * item_stride, sizeof(T));
    }
    return rows;
}

// "[N, 3]"; appended piece by piece, since GCC 12 warns falsely about "[" + std::string.
std::string shape_text(PyArrayObject* array) {
    std::string text = "[";
    text += std::to_string(PyArray_DIM(array, 0));
    text += ", ";
    text += std::to_string(PyArray_DIM(array, 1));
    return text + "]";
}

// Whether the vertex and face arrays are (N, 3) and (M, 3); false with a ValueError set otherwise.
bool mesh_shapes_valid(PyArrayObject* vertex_array, PyArrayObject* face_array) {
    if (PyArray_DIM(vertex_array, 1) != 3) {
        return set_value_error("vertices must be (N, 3), got " + shape_text(vertex_array)), false;
    }
    if (PyArray_DIM(face_array, 1) != 3) {
        return set_value_error("faces must be (M, 3), got " + shape_text(face_array)), false;
    }
    return true;
}

// The rows of arrays that passed `mesh_shapes_valid`, copied so the work can run without the
// interpreter lock while callers keep their arrays; false with a ValueError set when a face
// corner names no vertex.
bool read_mesh(PyArrayObject* vertex_array, PyArrayObject* face_array, std::vector<Point3f>& vertices,
               std::vector<Triangle>& faces) {
    vertices = copy_rows<float>(vertex_array);
    faces = copy_rows<std::uint32_t>(face_array);
    for (std::size_t row = 0; row < faces.size(); ++row) {
        for (std::uint32_t index : faces[row]) {
            if (index >= vertices.size()) {
                return set_value_error("face " + std::to_string(row) +
                                       " references a vertex past the end of the array"),
                       false;
            }
        }
    }
    return true;
}

struct DiceArguments {
    PyArrayObject* vertices = nullptr;
    PyArrayObject* faces = nullptr;
    DiceGrid grid;
    std::optional<std::uint32_t> quantization_bits;
};

constexpr Parameter<DiceArguments> DICE_PARAMETERS[] = {
    parameter<DiceArguments, &convert_matrix<NPY_FLOAT32>, &DiceArguments::vertices>("vertices", nullptr),
    parameter<DiceArguments, &convert_matrix<NPY_UINT32>, &DiceArguments::faces>("faces", nullptr),
    parameter<DiceArguments, &convert_triple<double, convert_f64>, &DiceArguments::grid, &DiceGrid::chunk_shape>(
        "chunk_shape", nullptr),
    parameter<DiceArguments, &convert_triple<double, convert_f64>, &DiceArguments::grid, &DiceGrid::grid_origin>(
        "grid_origin", nullptr),
    parameter<DiceArguments, &convert_triple<std::int64_t, convert_i64>, &DiceArguments::grid, &DiceGrid::grid_size>(
        "grid_size", nullptr),
    parameter<DiceArguments, &convert_optional<std::uint32_t, convert_u32>, &DiceArguments::quantization_bits>(
        "quantization_bits", "None"),
};

const char* const DICE_DOC =
    "Cut a mesh into the cells of a regular grid.\n"
    "\n"
    "Returns `{(i, j, k): (vertices, faces)}` for the cells that hold anything.\n"
    "Every triangle lands in exactly one cell, wholly inside it, and two cells\n"
    "that meet agree on the geometry between them bit for bit; docs/dicing.md\n"
    "in the source repository explains why that needs no tolerance.\n"
    "\n"
    "With `quantization_bits`, vertices come back on the octree format's integer\n"
    "lattice instead of in the mesh's own coordinates.";

PyObject* module_dice(PyObject*, PyObject* args, PyObject* kwargs) {
    try {
        PyObject* given[std::size(DICE_PARAMETERS)];
        if (!bind_arguments<DiceArguments>("dice()", args, kwargs, DICE_PARAMETERS, given)) return nullptr;
        if (!numpy_ready()) return nullptr;
        DiceArguments arguments;
        if (!convert_arguments<DiceArguments>(DICE_PARAMETERS, given, arguments)) return nullptr;
        DiceGrid& grid = arguments.grid;

        if (!mesh_shapes_valid(arguments.vertices, arguments.faces)) return nullptr;
        for (int axis = 0; axis < 3; ++axis) {
            if (!(grid.chunk_shape[axis] > 0))
                return set_value_error("chunk_shape must be positive on every axis"), nullptr;
            if (grid.grid_size[axis] < 1) return set_value_error("grid_size must be at least 1 on every axis"), nullptr;
        }
        std::vector<Point3f> vertices;
        std::vector<Triangle> faces;
        if (!read_mesh(arguments.vertices, arguments.faces, vertices, faces)) return nullptr;
        if (arguments.quantization_bits) {
            const std::uint32_t bits = *arguments.quantization_bits;
            if (bits < 1 || bits > 24) {
                return set_value_error(
                           "quantization_bits must be between 1 and 24; above that the integers stop being exact in "
                           "float32"),
                       nullptr;
            }
            grid.quantization_bits = bits;
        }
        std::vector<DicedCell> cells = without_lock([&] { return tarna::dice(vertices, faces, grid); });
        Ref result(PyDict_New());
        if (!result) return nullptr;
        for (DicedCell& cell : cells) {
            Ref key(Py_BuildValue("(LLL)", (long long)cell.key[0], (long long)cell.key[1], (long long)cell.key[2]));
            if (!key) return nullptr;
            TriangleMesh mesh;
            mesh.vertices = std::move(cell.vertices);
            mesh.faces = std::move(cell.faces);
            Ref arrays(to_arrays(std::move(mesh)));
            if (!arrays) return nullptr;
            Ref pair(PyTuple_Pack(2, PyTuple_GetItem(arrays.get(), 0), PyTuple_GetItem(arrays.get(), 1)));
            if (!pair || PyDict_SetItem(result.get(), key.get(), pair.get()) < 0) return nullptr;
        }
        return result.release();
    } catch (...) {
        return raise_current_exception();
    }
}

PyMethodDef DICE_DEF = {"dice", as_method(&module_dice), METH_VARARGS | METH_KEYWORDS, nullptr};

// For the package's own summaries: one pass in native code instead of a dozen array operations
// per mesh, which cost the command more than writing the files.
PyObject* module_measure(PyObject*, PyObject* args) {
    try {
        PyObject* vertices_object = nullptr;
        PyObject* faces_object = nullptr;
        if (!PyArg_ParseTuple(args, "OO:_measure", &vertices_object, &faces_object)) return nullptr;
        if (!numpy_ready()) return nullptr;
        PyArrayObject* vertices_array = nullptr;
        PyArrayObject* faces_array = nullptr;
        if (!convert_matrix<NPY_FLOAT32>(vertices_object, vertices_array)) return nullptr;
        if (!convert_matrix<NPY_UINT32>(faces_object, faces_array)) return nullptr;
        if (!mesh_shapes_valid(vertices_array, faces_array)) return nullptr;
        std::vector<Point3f> vertices;
        std::vector<Triangle> faces;
        if (!read_mesh(vertices_array, faces_array, vertices, faces)) return nullptr;
        const SurfaceMeasures measures = without_lock([&] { return measure_surface(vertices, faces); });
        return Py_BuildValue("(dd(fff)(fff))", measures.area, measures.volume, measures.low[0], measures.low[1],
                             measures.low[2], measures.high[0], measures.high[1], measures.high[2]);
    } catch (...) {
        return raise_current_exception();
    }
}

PyMethodDef MEASURE_DEF = {"_measure", &module_measure, METH_VARARGS,
                           "_measure(vertices, faces, /)\n--\n\n"
                           "A triangle mesh's total area, the volume it encloses if closed and wound outwards, and\n"
                           "its bounding box: (area, volume, low, high)."};

// ---------------------------------------------------------------------------------------------
// Exec slot and module definition

int module_exec(PyObject* module) {
    try {
        if (PyModule_AddStringConstant(module, "__version__", TARNA_VERSION) < 0) return -1;
        if (panic_exception == nullptr) {
            panic_exception = PyErr_NewExceptionWithDoc(
                "tarna_mesh._tarna_mesh.PanicException",
                "An internal fault in the native code; derives from BaseException so ordinary handlers let it pass.",
                PyExc_BaseException, nullptr);
            if (panic_exception == nullptr) return -1;
        }
        if (mesher_type == nullptr) {
            mesher_type = make_mesher_type();
            if (mesher_type == nullptr) return -1;
        }
        if (PyModule_AddObjectRef(module, "Mesher", mesher_type) < 0) return -1;
        static const std::string dice_doc = docstring<DiceArguments>("dice", DICE_PARAMETERS, false, DICE_DOC);
        DICE_DEF.ml_doc = dice_doc.c_str();
        Ref module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        Ref dice_function(PyCFunction_NewEx(&DICE_DEF, nullptr, module_name.get()));
        if (!dice_function) return -1;
        if (PyModule_AddObjectRef(module, "dice", dice_function.get()) < 0) return -1;
        Ref measure_function(PyCFunction_NewEx(&MEASURE_DEF, nullptr, module_name.get()));
        if (!measure_function) return -1;
        if (PyModule_AddObjectRef(module, "_measure", measure_function.get()) < 0) return -1;
        return 0;
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_tarna_mesh", "", 0, nullptr, MODULE_SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tarna_mesh() { return PyModuleDef_Init(&MODULE_DEF); }
