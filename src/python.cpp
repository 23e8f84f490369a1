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
// The NumPy API table is fetched at first use, not at import.

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
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "dice.hpp"
#include "extract.hpp"
#include "grid.hpp"
#include "mesh.hpp"
#include "orient.hpp"
#include "pool.hpp"
#include "smooth.hpp"

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
PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const LimitError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const PoolError& error) {
        PyErr_SetString(PyExc_ValueError, (std::string("thread pool: ") + error.what()).c_str());
    } catch (const std::exception& error) {
        raise_fault(error.what());
    } catch (...) {
        raise_fault("unknown internal error");
    }
    return nullptr;
}

// Releases the interpreter lock for its lifetime; the lock is back before any unwinding
// reaches a `PyErr_*` call.
class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

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

// Binds positional and keyword arguments to `names` with the interpreter's own wording for
// mistakes. Absent optional parameters come back as nullptr; all pointers are borrowed.
bool bind_arguments(const char* callable, PyObject* args, PyObject* kwargs, const char* const* names,
                    std::size_t count, std::size_t required, PyObject** out) {
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
                if (std::strcmp(names[i], key_text) == 0) index = i;
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
        if (out[i] == nullptr) missing.push_back(names[i]);
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
    return set_type_error("'" + type_name(object) + "' object is not an instance of 'bool'");
}

// A sequence (never a str) converted item by item; any length.
template <class Item, class Convert>
bool convert_sequence(PyObject* object, std::vector<Item>& items, Convert convert) {
    if (PyUnicode_Check(object)) return set_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) {
        return set_type_error("'" + type_name(object) + "' object cannot be converted to 'Sequence'");
    }
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) return false;
    items.clear();
    items.reserve(std::size_t(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        Ref item(PySequence_GetItem(object, i));
        if (!item) return false;
        Item value{};
        if (!convert(item.get(), value)) return false;
        items.push_back(value);
    }
    return true;
}

// Exactly three items, for dice's fixed-size arguments.
template <class Item, class Convert>
bool convert_triple(PyObject* object, std::array<Item, 3>& triple, Convert convert) {
    std::vector<Item> items;
    if (!convert_sequence(object, items, convert)) return false;
    if (items.size() != 3) {
        PyErr_SetString(PyExc_ValueError,
                        ("expected a sequence of length 3 (got " + std::to_string(items.size()) + ")").c_str());
        return false;
    }
    std::copy(items.begin(), items.end(), triple.begin());
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

bool set_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// Shortest decimal digits that read back exactly: value = 0.<digits> * 10^exponent.
struct Decimal {
    std::string digits;
    int exponent = 0;
};

Decimal shortest_decimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
    const std::string text(buffer, result.ptr);
    const std::size_t e = text.find('e');
    Decimal decimal;
    for (std::size_t i = 0; i < e; ++i) {
        if (text[i] != '.') decimal.digits += text[i];
    }
    decimal.exponent = std::atoi(text.c_str() + e + 1) + 1;
    return decimal;
}

// Plain positional notation of the shortest digits: 1 for 1.0, 0.1, 12.5, never an exponent.
std::string positional(const Decimal& decimal, bool keep_point_zero) {
    const std::string& digits = decimal.digits;
    const int exponent = decimal.exponent;
    std::string text;
    if (exponent <= 0) {
        text = "0." + std::string(std::size_t(-exponent), '0') + digits;
    } else if (std::size_t(exponent) >= digits.size()) {
        text = digits + std::string(std::size_t(exponent) - digits.size(), '0');
        if (keep_point_zero) text += ".0";
    } else {
        text = digits.substr(0, std::size_t(exponent)) + "." + digits.substr(std::size_t(exponent));
    }
    return text;
}

// Numbers in messages: shortest round-trip form, never an exponent, integral values bare.
std::string format_plain(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0) return sign + "0";
    return sign + positional(shortest_decimal(value), false);
}

// Numbers in repr(): integral values keep ".0"; below 1e-4 or from 1e16 on, exponent form with
// no plus sign and no leading zeros (1e-5, 1.5e16).
std::string format_repr(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0) return sign + "0.0";
    const double magnitude = std::fabs(value);
    const Decimal decimal = shortest_decimal(value);
    if (magnitude < 1e-4 || magnitude >= 1e16) {
        std::string mantissa = decimal.digits.substr(0, 1);
        if (decimal.digits.size() > 1) mantissa += "." + decimal.digits.substr(1);
        return sign + mantissa + "e" + std::to_string(decimal.exponent - 1);
    }
    return sign + positional(decimal, true);
}

// A character as a quoted literal: 'W', '\'', '\\', '\n', '\u{7f}'.
std::string quote_char(Py_UCS4 code_point) {
    std::string body;
    switch (code_point) {
        case '\'': body = "\\'"; break;
        case '\\': body = "\\\\"; break;
        case '\n': body = "\\n"; break;
        case '\r': body = "\\r"; break;
        case '\t': body = "\\t"; break;
        case '\0': body = "\\0"; break;
        default: {
            Ref single(PyUnicode_FromOrdinal(int(code_point)));
            Ref printable(single ? PyObject_CallMethod(single.get(), "isprintable", nullptr) : nullptr);
            Ref encoded(single ? PyUnicode_AsUTF8String(single.get()) : nullptr);
            if (printable.get() == Py_True && encoded) {
                char* bytes = nullptr;
                Py_ssize_t length = 0;
                if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &length) == 0) body.assign(bytes, std::size_t(length));
            }
            PyErr_Clear();
            if (body.empty()) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "\\u{%x}", unsigned(code_point));
                body = hex;
            }
        }
    }
    return "'" + body + "'";
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
    mesh.vertex_flags = {};
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

struct MesherState {
    Smoothing smoothing;
    std::unique_ptr<Extraction> extraction;
    OutputFrame frame;  // axes, flips, voxel size; volume_shape of the last successful mesh()
    std::size_t threads = 0;
    std::shared_ptr<ThreadPool> pool;
};

struct MesherObject {
    PyObject_HEAD
    long borrow;  // 0 free, > 0 shared borrows, -1 exclusive; only touched through atomic_ref
    MesherState* state;
};

// Borrow guards: taken with compare-and-swap, never waiting.
class Borrow {
public:
    static std::optional<Borrow> shared(PyObject* self) {
        std::atomic_ref<long> flag(reinterpret_cast<MesherObject*>(self)->borrow);
        long current = flag.load();
        do {
            if (current < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return std::nullopt;
            }
        } while (!flag.compare_exchange_weak(current, current + 1));
        return Borrow(self, false);
    }
    static std::optional<Borrow> exclusive(PyObject* self) {
        std::atomic_ref<long> flag(reinterpret_cast<MesherObject*>(self)->borrow);
        long expected = 0;
        if (!flag.compare_exchange_strong(expected, -1)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        return Borrow(self, true);
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

MesherState& state_of(PyObject* self) { return *reinterpret_cast<MesherObject*>(self)->state; }

std::size_t effective_threads(const MesherState& state) {
    return state.threads != 0 ? state.threads : shared_pool_size();
}

std::size_t object_count(const MesherState& state) {
    return state.extraction ? state.extraction->sorted_labels.size() : 0;
}

const char* const MESHER_PARAMETERS[] = {
    "voxel_resolution", "axis_order", "y_down", "relaxation", "max_deviation", "relaxation_step",
    "taubin", "taubin_pass_band", "taubin_lambda", "fairing", "fairing_step", "fairing_junction_rule",
    "fairing_taubin", "fairing_pass_band", "fairing_lambda", "threads",
};

// Everything the constructor reads, with its defaults.
struct MesherConfig {
    std::vector<double> voxel_resolution{1.0, 1.0, 1.0};
    std::vector<Py_UCS4> axis_order{'X', 'Y', 'Z'};
    bool y_down = false;
    std::uint32_t relaxation = 0;
    double max_deviation = 0.5;
    double relaxation_step = 0.5;
    std::uint32_t taubin = 0;
    double taubin_pass_band = 0.1;
    double taubin_lambda = 0.63;
    std::uint32_t fairing = 0;
    double fairing_step = 0.5;
    bool fairing_junction_rule = true;
    bool fairing_taubin = false;
    double fairing_pass_band = 0.1;
    double fairing_lambda = 0.63;
    std::uint64_t threads = 0;
};

bool convert_axis_order(PyObject* object, std::vector<Py_UCS4>& code_points) {
    if (!PyUnicode_Check(object)) return set_type_error("'" + type_name(object) + "' object is not an instance of 'str'");
    const Py_ssize_t length = PyUnicode_GetLength(object);
    if (length < 0) return false;
    code_points.resize(std::size_t(length));
    if (length > 0 && PyUnicode_AsUCS4(object, code_points.data(), length, 0) == nullptr) return false;
    return true;
}

// Converts the present arguments in parameter order; the first failure stops with its note.
bool convert_config(PyObject* const* given, MesherConfig& config) {
    auto step = [&](std::size_t index, auto&& convert) {
        if (given[index] == nullptr || convert(given[index])) return true;
        return add_note(MESHER_PARAMETERS[index]);
    };
    auto to_f64 = [](double& target) { return [&target](PyObject* o) { return convert_f64(o, target); }; };
    auto to_u32 = [](std::uint32_t& target) { return [&target](PyObject* o) { return convert_u32(o, target); }; };
    auto to_bool = [](bool& target) { return [&target](PyObject* o) { return convert_bool(o, target); }; };
    return step(0, [&](PyObject* o) { return convert_sequence(o, config.voxel_resolution, convert_f64); }) &&
           step(1, [&](PyObject* o) { return convert_axis_order(o, config.axis_order); }) &&
           step(2, to_bool(config.y_down)) && step(3, to_u32(config.relaxation)) &&
           step(4, to_f64(config.max_deviation)) && step(5, to_f64(config.relaxation_step)) &&
           step(6, to_u32(config.taubin)) && step(7, to_f64(config.taubin_pass_band)) &&
           step(8, to_f64(config.taubin_lambda)) && step(9, to_u32(config.fairing)) &&
           step(10, to_f64(config.fairing_step)) && step(11, to_bool(config.fairing_junction_rule)) &&
           step(12, to_bool(config.fairing_taubin)) && step(13, to_f64(config.fairing_pass_band)) &&
           step(14, to_f64(config.fairing_lambda)) &&
           step(15, [&](PyObject* o) { return convert_u64(o, config.threads); });
}

// Checks the converted configuration in its fixed order and fills `state`.
bool validate_config(const MesherConfig& config, MesherState& state) {
    if (config.voxel_resolution.size() != 3) {
        return set_value_error("voxel_resolution must have 3 entries, got " + std::to_string(config.voxel_resolution.size()));
    }
    for (double size : config.voxel_resolution) {
        if (!std::isfinite(size) || !(size > 0)) return set_value_error("voxel_resolution entries must be finite and positive");
    }
    if (config.axis_order.size() != 3) {
        return set_value_error("axis_order must name exactly 3 axes, got " + std::to_string(config.axis_order.size()));
    }
    bool seen[3] = {false, false, false};
    for (std::size_t k = 0; k < 3; ++k) {
        Py_UCS4 letter = config.axis_order[k];
        if (letter >= 'a' && letter <= 'z') letter -= 'a' - 'A';
        if (letter != 'X' && letter != 'Y' && letter != 'Z') {
            return set_value_error("axis_order may only contain X, Y and Z, got " + quote_char(letter));
        }
        const std::size_t axis = letter - 'X';
        if (seen[axis]) return set_value_error("axis_order repeats the axis " + quote_char(letter));
        seen[axis] = true;
        state.frame.axes[k] = axis;
        state.frame.axis_flips[k] = config.y_down && axis == 1;
    }
    if (!std::isfinite(config.max_deviation) || config.max_deviation < 0) {
        return set_value_error("max_deviation must be finite and non-negative");
    }
    if (!(config.relaxation_step > 0 && config.relaxation_step <= 1)) {
        return set_value_error("relaxation_step must lie in (0, 1]");
    }
    if ((config.relaxation != 0) + (config.taubin != 0) + (config.fairing != 0) > 1) {
        return set_value_error("set only one of relaxation, taubin or fairing");
    }
    if (config.fairing > 0 && !(config.fairing_step > 0 && config.fairing_step <= 1)) {
        return set_value_error("fairing_step must lie in (0, 1]");
    }
    if (config.taubin > 0 && !is_valid(config.taubin_pass_band, config.taubin_lambda)) {
        const double mu = taubin_mu(config.taubin_pass_band, config.taubin_lambda);
        return set_value_error(
            "taubin_pass_band and taubin_lambda must lie in (0, 1) and give a negative mu larger in magnitude than "
            "lambda; got pass_band=" +
            format_plain(config.taubin_pass_band) + ", lambda=" + format_plain(config.taubin_lambda) +
            ", mu=" + format_plain(mu));
    }
    std::copy(config.voxel_resolution.begin(), config.voxel_resolution.end(), state.frame.voxel_resolution.begin());
    if (config.fairing > 0) {
        state.smoothing = Fairing{config.fairing, config.fairing_step, config.fairing_junction_rule, config.fairing_taubin,
                                  config.fairing_pass_band, config.fairing_lambda, config.max_deviation};
    } else if (config.taubin > 0) {
        state.smoothing = Taubin{config.taubin, config.taubin_pass_band, config.taubin_lambda, config.max_deviation};
    } else {
        state.smoothing = Relaxation{config.relaxation, config.relaxation_step, config.max_deviation};
    }
    state.threads = std::size_t(config.threads);
    return true;
}

PyObject* mesher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* given[16];
        if (!bind_arguments("Mesher.__new__()", args, kwargs, MESHER_PARAMETERS, 16, 0, given)) return nullptr;
        MesherConfig config;
        if (!convert_config(given, config)) return nullptr;
        auto state = std::make_unique<MesherState>();
        if (!validate_config(config, *state)) return nullptr;
        if (state->threads >= 2) state->pool = std::make_shared<ThreadPool>(state->threads);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* object = reinterpret_cast<MesherObject*>(self);
        object->borrow = 0;
        object->state = state.release();
        return self;
    } catch (...) {
        return raise_current_exception();
    }
}

void mesher_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    MesherState* state = reinterpret_cast<MesherObject*>(self)->state;
    if (state != nullptr) {
        // The pool goes first (its last holder joins the workers), then the stored surfaces.
        state->pool.reset();
        delete state;
    }
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* mesher_repr(PyObject* self) noexcept {
    try {
        auto borrow = Borrow::shared(self);
        if (!borrow) return nullptr;
        const MesherState& state = state_of(self);
        std::string text = "Mesher(voxel_resolution=[";
        for (int k = 0; k < 3; ++k) text += (k ? ", " : "") + format_repr(state.frame.voxel_resolution[k]);
        text += "], threads=" + std::to_string(effective_threads(state)) +
                ", objects=" + std::to_string(object_count(state)) + ")";
        return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    } catch (...) {
        return raise_current_exception();
    }
}

Py_ssize_t mesher_len(PyObject* self) noexcept {
    auto borrow = Borrow::shared(self);
    if (!borrow) return -1;
    return Py_ssize_t(object_count(state_of(self)));
}

PyObject* mesher_effective_threads(PyObject* self, void*) noexcept {
    try {
        auto borrow = Borrow::shared(self);
        if (!borrow) return nullptr;
        return PyLong_FromSize_t(effective_threads(state_of(self)));
    } catch (...) {
        return raise_current_exception();
    }
}

// The first label width whose native unsigned dtype the array's dtype is equivalent to.
int label_width(PyObject* labels) {
    if (!PyArray_Check(labels)) return 0;
    auto* array = reinterpret_cast<PyArrayObject*>(labels);
    if (PyArray_NDIM(array) != 3) return 0;
    const int typenums[4][2] = {{NPY_UINT8, NPY_UINT8}, {NPY_UINT16, NPY_UINT16}, {NPY_UINT32, NPY_UINT32},
                                {NPY_ULONG, NPY_ULONGLONG}};
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

template <class Label>
VolumeView<Label> view_of(PyArrayObject* array) {
    VolumeView<Label> view;
    view.data = static_cast<const Label*>(PyArray_DATA(array));
    for (int k = 0; k < 3; ++k) {
        view.shape[k] = std::uint64_t(PyArray_DIM(array, k));
        view.strides[k] = view.shape[k] == 0 ? 0 : std::int64_t(PyArray_STRIDE(array, k)) / std::int64_t(sizeof(Label));
    }
    return view;
}

template <class Label>
Extraction run_pass(MesherState& state, PyArrayObject* array, const BandOptions& options, bool close) {
    RunEnvironment<Label> env;
    env.options = options;
    env.smoothing = state.smoothing;
    env.view = view_of<Label>(array);
    env.threads = state.threads;
    env.close = close;
    ReleaseGil unlocked;
    if (state.pool) {
        Extraction result;
        ThreadPool* pool = state.pool.get();
        pool->run_inside([&] { result = run(env, Parallel(pool)); });
        return result;
    }
    if (state.threads == 1) return run(env, Parallel(nullptr));
    return run(env, Parallel(&shared_pool()));
}

const char* const MESH_PARAMETERS[] = {"labels", "close", "owned_shape"};

PyObject* mesher_mesh(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* given[3];
        if (!bind_arguments("Mesher.mesh()", args, kwargs, MESH_PARAMETERS, 3, 1, given)) return nullptr;
        auto borrow = Borrow::exclusive(self);
        if (!borrow) return nullptr;
        MesherState& state = state_of(self);
        bool close = false;
        if (given[1] != nullptr && !convert_bool(given[1], close)) return (add_note("close"), nullptr);
        BandOptions options;
        std::vector<std::uint64_t> owned;
        if (given[2] != nullptr && given[2] != Py_None) {
            if (!convert_sequence(given[2], owned, convert_u64)) return (add_note("owned_shape"), nullptr);
            options.has_owned = true;
        }
        // From here a failing call leaves no surfaces: the old ones are freed before the new pass.
        state.extraction.reset();
        if (options.has_owned) {
            if (owned.size() != 3) {
                set_value_error("owned_shape must have 3 entries, got " + std::to_string(owned.size()));
                return nullptr;
            }
            std::copy(owned.begin(), owned.end(), options.owned.begin());
        }
        if (!numpy_ready()) return nullptr;
        PyObject* labels = given[0];
        const int width = label_width(labels);
        if (width == 0) {
            PyErr_SetString(PyExc_TypeError,
                            "labels must be a 3-D numpy array of uint8, uint16, uint32 or uint64. Signed arrays can be "
                            "reinterpreted without copying, e.g. labels.view(np.uint32) for an int32 array.");
            return nullptr;
        }
        auto* array = reinterpret_cast<PyArrayObject*>(labels);
        std::array<std::uint64_t, 3> shape;
        for (int k = 0; k < 3; ++k) {
            shape[k] = std::uint64_t(PyArray_DIM(array, k));
            // Positions are 32-bit fixed point with 8 fractional bits.
            if (shape[k] > MAX_EXTENT) {
                set_value_error("labels extents must not exceed " + std::to_string(MAX_EXTENT) +
                                " on any axis (32-bit fixed-point positions); got " + std::to_string(shape[k]));
                return nullptr;
            }
        }
        const std::uint32_t iterations = iteration_count(state.smoothing);
        options.track_boundary = iterations != 0 && (!close || options.has_owned);
        // A view whose byte strides are not whole elements (or whose data is misaligned) cannot be
        // read element-wise in place; such rare arrays are read from an aligned copy instead.
        Ref aligned_copy;
        bool whole_elements = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array)) % std::uintptr_t(width) == 0;
        for (int k = 0; k < 3; ++k) whole_elements = whole_elements && PyArray_STRIDE(array, k) % width == 0;
        if (!whole_elements) {
            aligned_copy.reset(PyArray_NewCopy(array, NPY_CORDER));
            if (!aligned_copy) return nullptr;
            array = reinterpret_cast<PyArrayObject*>(aligned_copy.get());
        }
        Extraction result;
        switch (width) {
            case 1: result = run_pass<std::uint8_t>(state, array, options, close); break;
            case 2: result = run_pass<std::uint16_t>(state, array, options, close); break;
            case 4: result = run_pass<std::uint32_t>(state, array, options, close); break;
            default: result = run_pass<std::uint64_t>(state, array, options, close); break;
        }
        state.frame.volume_shape = shape;
        state.extraction = std::make_unique<Extraction>(std::move(result));
        Py_RETURN_NONE;
    } catch (...) {
        return raise_current_exception();
    }
}

PyObject* mesher_ids(PyObject* self, PyObject*) noexcept {
    try {
        auto borrow = Borrow::shared(self);
        if (!borrow) return nullptr;
        if (!numpy_ready()) return nullptr;
        const MesherState& state = state_of(self);
        std::vector<std::uint64_t> labels;
        if (state.extraction) labels = state.extraction->sorted_labels;
        npy_intp dims[1] = {npy_intp(labels.size())};
        return hand_over(std::move(labels), 1, dims, NPY_UINT64);
    } catch (...) {
        return raise_current_exception();
    }
}

const char* const LABEL_PARAMETER[] = {"label"};

PyObject* mesher_contains(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* given[1];
        if (!bind_arguments("Mesher.contains()", args, kwargs, LABEL_PARAMETER, 1, 1, given)) return nullptr;
        auto borrow = Borrow::shared(self);
        if (!borrow) return nullptr;
        std::uint64_t label = 0;
        if (!convert_u64(given[0], label)) return (add_note("label"), nullptr);
        const MesherState& state = state_of(self);
        const bool found = state.extraction && lookup_label(state.extraction->sorted_labels, label) != SIZE_MAX;
        return PyBool_FromLong(found);
    } catch (...) {
        return raise_current_exception();
    }
}

PyObject* mesher_erase(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* given[1];
        if (!bind_arguments("Mesher.erase()", args, kwargs, LABEL_PARAMETER, 1, 1, given)) return nullptr;
        auto borrow = Borrow::exclusive(self);
        if (!borrow) return nullptr;
        std::uint64_t label = 0;
        if (!convert_u64(given[0], label)) return (add_note("label"), nullptr);
        MesherState& state = state_of(self);
        if (!state.extraction) Py_RETURN_FALSE;
        Extraction& extraction = *state.extraction;
        const std::size_t index = lookup_label(extraction.sorted_labels, label);
        if (index == SIZE_MAX) Py_RETURN_FALSE;
        extraction.sorted_labels.erase(extraction.sorted_labels.begin() + std::ptrdiff_t(index));
        extraction.meshes.erase(extraction.meshes.begin() + std::ptrdiff_t(index));  // frees its arrays now
        Py_RETURN_TRUE;
    } catch (...) {
        return raise_current_exception();
    }
}

PyObject* mesher_clear(PyObject* self, PyObject*) noexcept {
    try {
        auto borrow = Borrow::exclusive(self);
        if (!borrow) return nullptr;
        MesherState& state = state_of(self);
        state.extraction.reset();
        state.frame.volume_shape = {0, 0, 0};
        Py_RETURN_NONE;
    } catch (...) {
        return raise_current_exception();
    }
}

const char* const GET_PARAMETERS[] = {"label", "normals", "reduction_factor", "max_error"};

PyObject* mesher_get(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* given[4];
        if (!bind_arguments("Mesher.get()", args, kwargs, GET_PARAMETERS, 4, 1, given)) return nullptr;
        auto borrow = Borrow::shared(self);
        if (!borrow) return nullptr;
        std::uint64_t label = 0;
        bool normals = false;
        std::uint32_t reduction_factor = 0;
        std::optional<double> max_error;
        if (!convert_u64(given[0], label)) return (add_note("label"), nullptr);
        if (given[1] != nullptr && !convert_bool(given[1], normals)) return (add_note("normals"), nullptr);
        if (given[2] != nullptr && !convert_u32(given[2], reduction_factor)) return (add_note("reduction_factor"), nullptr);
        if (given[3] != nullptr && given[3] != Py_None) {
            double value = 0;
            if (!convert_f64(given[3], value)) return (add_note("max_error"), nullptr);
            max_error = value;
        }
        const MesherState& state = state_of(self);
        if (!state.extraction) {
            set_value_error("no volume has been meshed yet; call mesh() first");
            return nullptr;
        }
        const std::size_t index = lookup_label(state.extraction->sorted_labels, label);
        if (index == SIZE_MAX) Py_RETURN_NONE;
        const auto& resolution = state.frame.voxel_resolution;
        const double error_bound = max_error.value_or(std::max({resolution[0], resolution[1], resolution[2]}));
        if (error_bound < 0) {
            set_value_error("max_error must be non-negative");
            return nullptr;
        }
        if (reduction_factor >= 2) {
            PyErr_SetString(PyExc_NotImplementedError, "simplification (reduction_factor of 2 or more) is not implemented yet");
            return nullptr;
        }
        if (!numpy_ready()) return nullptr;
        TriangleMesh mesh;
        {
            ReleaseGil unlocked;
            mesh = build_triangle_mesh(state.extraction->meshes[index], state.frame, normals);
        }
        return to_arrays(std::move(mesh));
    } catch (...) {
        return raise_current_exception();
    }
}

PyMethodDef MESHER_METHODS[] = {
    {"mesh", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mesher_mesh)), METH_VARARGS | METH_KEYWORDS,
     "mesh($self, labels, close=False, owned_shape=None)\n--\n\n"
     "Mesh a 3-D array of unsigned integer labels.\n"
     "\n"
     "With `close`, the volume is treated as if surrounded by background, so\n"
     "objects reaching the array edge come back sealed. This costs nothing:\n"
     "the border is virtual, not a padded copy of the input."},
    {"ids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mesher_ids)), METH_NOARGS,
     "ids($self)\n--\n\nLabel ids present in the volume, ascending. Background (0) is excluded."},
    {"contains", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mesher_contains)),
     METH_VARARGS | METH_KEYWORDS, "contains($self, label)\n--\n\nWhether a label is present."},
    {"erase", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mesher_erase)), METH_VARARGS | METH_KEYWORDS,
     "erase($self, label)\n--\n\nDrop one object's surface, freeing its memory."},
    {"clear", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mesher_clear)), METH_NOARGS,
     "clear($self)\n--\n\nDrop every stored surface."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mesher_get)), METH_VARARGS | METH_KEYWORDS,
     "get($self, label, normals=False, reduction_factor=0, max_error=None)\n--\n\n"
     "Arrays for one object, or `None` if the label is absent.\n"
     "\n"
     "`reduction_factor` asks for that many times fewer faces;\n"
     "`max_error` caps how far simplification may move any vertex."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef MESHER_GETSET[] = {
    {"effective_threads", &mesher_effective_threads, nullptr,
     "Threads actually used: the configured count, or every core when 0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char MESHER_DOC[] =
    "Mesher(voxel_resolution=..., axis_order=\"XYZ\", y_down=False, relaxation=0, max_deviation=0.5, "
    "relaxation_step=0.5, taubin=0, taubin_pass_band=0.1, taubin_lambda=0.63, fairing=0, fairing_step=0.5, "
    "fairing_junction_rule=True, fairing_taubin=False, fairing_pass_band=0.1, fairing_lambda=0.63, threads=0)\n--\n\n"
    "Extracts every object's surface from a labelled volume in a single pass.";

PyType_Slot MESHER_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(&mesher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&mesher_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&mesher_repr)},
    {Py_mp_length, reinterpret_cast<void*>(&mesher_len)},
    {Py_tp_methods, MESHER_METHODS},
    {Py_tp_getset, MESHER_GETSET},
    {Py_tp_doc, const_cast<char*>(MESHER_DOC)},
    {0, nullptr},
};

PyType_Spec MESHER_SPEC = {
    "tarna_mesh._tarna_mesh.Mesher",
    sizeof(MesherObject),
    0,
    Py_TPFLAGS_DEFAULT,  // no BASETYPE: Mesher cannot be subclassed
    MESHER_SLOTS,
};

PyObject* mesher_type = nullptr;  // created on first use, shared by every module instance

// ---------------------------------------------------------------------------------------------
// Module functions

// A 2-D array of exactly the given dtype, or a TypeError naming what was expected.
PyArrayObject* matrix_of(PyObject* object, int typenum, const char* dtype_name) {
    if (PyArray_Check(object)) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
        const bool match = PyArray_NDIM(array) == 2 && PyArray_EquivTypes(PyArray_DESCR(array), wanted);
        Py_DECREF(wanted);
        if (match) return array;
    }
    set_type_error("'" + type_name(object) + "' object cannot be converted to a 2-D numpy array of " + dtype_name);
    return nullptr;
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

std::string shape_text(PyArrayObject* array) {
    return "[" + std::to_string(PyArray_DIM(array, 0)) + ", " + std::to_string(PyArray_DIM(array, 1)) + "]";
}

const char* const DICE_PARAMETERS[] = {"vertices", "faces", "chunk_shape", "grid_origin", "grid_size",
                                       "quantization_bits"};

PyObject* module_dice(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* given[6];
        if (!bind_arguments("dice()", args, kwargs, DICE_PARAMETERS, 6, 5, given)) return nullptr;
        if (!numpy_ready()) return nullptr;
        PyArrayObject* vertex_array = matrix_of(given[0], NPY_FLOAT32, "float32");
        if (vertex_array == nullptr) return (add_note("vertices"), nullptr);
        PyArrayObject* face_array = matrix_of(given[1], NPY_UINT32, "uint32");
        if (face_array == nullptr) return (add_note("faces"), nullptr);
        DiceGrid grid;
        if (!convert_triple(given[2], grid.chunk_shape, convert_f64)) return (add_note("chunk_shape"), nullptr);
        if (!convert_triple(given[3], grid.grid_origin, convert_f64)) return (add_note("grid_origin"), nullptr);
        if (!convert_triple(given[4], grid.grid_size, convert_i64)) return (add_note("grid_size"), nullptr);
        std::uint32_t bits = 0;
        const bool quantize = given[5] != nullptr && given[5] != Py_None;
        if (quantize && !convert_u32(given[5], bits)) return (add_note("quantization_bits"), nullptr);

        if (PyArray_DIM(vertex_array, 1) != 3) {
            set_value_error("vertices must be (N, 3), got " + shape_text(vertex_array));
            return nullptr;
        }
        if (PyArray_DIM(face_array, 1) != 3) {
            set_value_error("faces must be (M, 3), got " + shape_text(face_array));
            return nullptr;
        }
        for (int axis = 0; axis < 3; ++axis) {
            if (!(grid.chunk_shape[axis] > 0)) return (set_value_error("chunk_shape must be positive on every axis"), nullptr);
            if (grid.grid_size[axis] < 1) return (set_value_error("grid_size must be at least 1 on every axis"), nullptr);
        }
        // Copies, so the cut can run without the interpreter lock while callers keep their arrays.
        std::vector<Point3f> vertices = copy_rows<float>(vertex_array);
        std::vector<Triangle> faces = copy_rows<std::uint32_t>(face_array);
        for (std::size_t row = 0; row < faces.size(); ++row) {
            for (std::uint32_t index : faces[row]) {
                if (index >= vertices.size()) {
                    set_value_error("face " + std::to_string(row) + " references a vertex past the end of the array");
                    return nullptr;
                }
            }
        }
        if (quantize) {
            if (bits < 1 || bits > 24) {
                set_value_error("quantization_bits must be between 1 and 24; above that the integers stop being exact in float32");
                return nullptr;
            }
            grid.quantization_bits = bits;
        }
        std::vector<DicedCell> cells;
        {
            ReleaseGil unlocked;
            cells = tarna::dice(vertices, faces, grid);
        }
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

PyMethodDef DICE_DEF = {
    "dice", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&module_dice)), METH_VARARGS | METH_KEYWORDS,
    "dice(vertices, faces, chunk_shape, grid_origin, grid_size, quantization_bits=None)\n--\n\n"
    "Cut a mesh into the cells of a regular grid.\n"
    "\n"
    "Returns `{(i, j, k): (vertices, faces)}` for the cells that hold anything.\n"
    "Every triangle lands in exactly one cell, wholly inside it, and two cells\n"
    "that meet agree on the geometry between them bit for bit \xe2\x80\x94 see\n"
    "[docs/dicing.md] for why that needs no tolerance.\n"
    "\n"
    "With `quantization_bits`, vertices come back on the octree format's integer\n"
    "lattice instead of in the mesh's own coordinates."};

// ---------------------------------------------------------------------------------------------
// Exec slot and module definition

int module_exec(PyObject* module) noexcept {
    try {
        if (PyModule_AddStringConstant(module, "__version__", "0.2.0") < 0) return -1;
        if (panic_exception == nullptr) {
            panic_exception = PyErr_NewExceptionWithDoc(
                "tarna_mesh._tarna_mesh.PanicException",
                "An internal fault in the native code; derives from BaseException so ordinary handlers let it pass.",
                PyExc_BaseException, nullptr);
            if (panic_exception == nullptr) return -1;
        }
        if (mesher_type == nullptr) {
            mesher_type = PyType_FromSpec(&MESHER_SPEC);
            if (mesher_type == nullptr) return -1;
        }
        if (PyModule_AddObjectRef(module, "Mesher", mesher_type) < 0) return -1;
        Ref module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        Ref dice_function(PyCFunction_NewEx(&DICE_DEF, nullptr, module_name.get()));
        if (!dice_function) return -1;
        if (PyModule_AddObjectRef(module, "dice", dice_function.get()) < 0) return -1;
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
