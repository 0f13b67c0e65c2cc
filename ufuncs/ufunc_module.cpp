// The module quorvex.mkl._ufuncs: one NumPy ufunc per VML elementwise operation, built from the
// generated rows, in four namespaces: the thread's accuracy mode, and HA, LA and EP fixed.
#include "numpy_api.hpp"

#include <mkl_vml_defines.h>
#include <mkl_vml_functions.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <string_view>

#include "loops.hpp"
#include "mkl_forms.hpp"
#include "numpy_loops.hpp"
#include "thread_mode.hpp"

namespace quorvex::ufuncs {
namespace {

/// Everything a ufunc needs of one variant: its loops and its types.
struct LoopRow {
  PyUFuncGenericFunction thread;       // the thread's accuracy
  PyUFuncGenericFunction fixed;        // the accuracy its data points to
  PyUFuncGenericFunction half_thread;  // float16 through this float32 variant, or null
  PyUFuncGenericFunction half_fixed;
  PyUFuncGenericFunction numpy;  // in place of NumPy's own loop, and where that is kept
  PyUFuncGenericFunction* numpy_original;
  PyUFuncGenericFunction half_numpy;
  PyUFuncGenericFunction* half_numpy_original;
  bool* scans;                  // whether to look for unreported results, or null if none can be
  const char* underflow_ufunc;  // NumPy's ufunc whose loop decides underflows, or null
  PyUFuncGenericFunction* numpy_reference;  // where that loop goes
  const char* kernels;  // the kernel libraries that leave them unreported; "*" for all
  bool half;            // counted without comparing addresses, which need not be constants
  int nin;
  int nout;
  std::array<char, 8> types;
};

template <class V>
constexpr LoopRow loop_row(const char* kernels) {
  using Form = typename V::form;
  static_assert(Form::count <= 8, "A ufunc row holds at most eight operand types.");
  LoopRow row{&loop<V, Accuracy::thread>,
              &loop<V, Accuracy::fixed>,
              nullptr,
              nullptr,
              &numpy_loop<V, false>,
              &numpy_original<V, false>,
              nullptr,
              nullptr,
              nullptr,
              numpy_name(V::contract.underflow),
              &numpy_reference<V>,
              kernels,
              Form::single_precision,
              Form::nin,
              Form::nout,
              {}};
  if constexpr (V::contract.unreported != Unreported::none) row.scans = &scans_results<V>;
  if constexpr (Form::single_precision) {
    if constexpr (V::contract.half == Half::nextafter) {
      row.half_thread = row.half_fixed = &nextafter_half_loop;
    } else {
      row.half_thread = &half_loop<V, Accuracy::thread>;
      row.half_fixed = &half_loop<V, Accuracy::fixed>;
    }
    row.half_numpy = &numpy_loop<V, true>;
    row.half_numpy_original = &numpy_original<V, true>;
  }
  for (std::size_t i = 0; i < Form::count; ++i) row.types[i] = Form::types[i];
  return row;
}

// The rows name only the fields that differ from the generator's default record.
#define QV_CONTRACT_DEFAULTS(CONTRACT) \
  static_assert(CONTRACT == Contract{}, "The generator's defaults must be Contract's own.");
#include "ufunc_rows.inc"
#undef QV_CONTRACT_DEFAULTS

constexpr LoopRow loop_rows[] = {
#define QV_LOOP(CONTIGUOUS, MODE, CONTRACT, KERNELS) \
  loop_row<Variant<&::CONTIGUOUS, &::MODE, CONTRACT>>(KERNELS),
#include "ufunc_rows.inc"
#undef QV_LOOP
};

/// The kernel libraries whose unreported results the rows record; on any other, every loop
/// that some kernel leaves a result unreported in looks for it.
constexpr std::string_view characterized_kernels[] = {
#define QV_CHARACTERIZED(KERNEL) KERNEL,
#include "ufunc_rows.inc"
#undef QV_CHARACTERIZED
};

struct UfuncRow {
  const char* name;
  int identity;
  int loops;  // rows of loop_rows, in order
  const char* doc;
};

constexpr UfuncRow ufunc_rows[] = {
#define QV_UFUNC(NAME, IDENTITY, LOOPS, DOC) {NAME, IDENTITY, LOOPS, DOC},
#include "ufunc_rows.inc"
#undef QV_UFUNC
};

constexpr std::size_t half_rows = [] {
  std::size_t count = 0;
  for (const LoopRow& row : loop_rows) count += row.half;
  return count;
}();
constexpr std::size_t total_loops = std::size(loop_rows) + half_rows;
static_assert(
    [] {
      std::size_t rows = 0;
      for (const UfuncRow& ufunc : ufunc_rows) rows += static_cast<std::size_t>(ufunc.loops);
      return rows == std::size(loop_rows);
    }(),
    "Every loop row must belong to one ufunc row.");

/// The namespaces: the thread's accuracy, then the three MKL defines.
constexpr const char* namespace_names[] = {nullptr, "ha", "la", "ep"};
constexpr std::size_t namespaces = std::size(namespace_names);

// NumPy keeps pointers into these arrays for the life of the ufuncs; the loops only read
// the accuracies, and the namespaces share the types.
unsigned accuracies[namespaces] = {0, VML_HA, VML_LA, VML_EP};
PyUFuncGenericFunction functions[namespaces][total_loops];
void* loop_data[namespaces][total_loops];
char types[total_loops * 8];
// Parallel to functions[0]: what replaces NumPy's loop of that signature, and where the
// replacement keeps NumPy's own.
PyUFuncGenericFunction numpy_loops[total_loops];
PyUFuncGenericFunction* numpy_originals[total_loops];

/// The ufuncs of one namespace, added to `module`.
int add_ufuncs(PyObject* module, std::size_t space) {
  std::size_t loop = 0, row = 0, type = 0;
  for (const UfuncRow& ufunc : ufunc_rows) {
    const std::size_t first = loop, first_type = type;
    const LoopRow& shape = loop_rows[row];
    const std::size_t operands = static_cast<std::size_t>(shape.nin + shape.nout);
    for (int k = 0; k < ufunc.loops; ++k, ++row) {
      const LoopRow& r = loop_rows[row];
      void* data = space == 0 ? nullptr : &accuracies[space];
      if (r.half) {
        functions[space][loop] = space == 0 ? r.half_thread : r.half_fixed;
        numpy_loops[loop] = r.half_numpy;
        numpy_originals[loop] = r.half_numpy_original;
        loop_data[space][loop++] = data;
        for (std::size_t i = 0; i < operands; ++i, ++type) types[type] = NPY_HALF;
      }
      functions[space][loop] = space == 0 ? r.thread : r.fixed;
      numpy_loops[loop] = r.numpy;
      numpy_originals[loop] = r.numpy_original;
      loop_data[space][loop++] = data;
      for (std::size_t i = 0; i < operands; ++i, ++type) types[type] = r.types[i];
    }
    const int count = static_cast<int>(loop - first);
    PyObject* object = PyUFunc_FromFuncAndData(&functions[space][first], &loop_data[space][first],
                                               &types[first_type], count, shape.nin, shape.nout,
                                               ufunc.identity, ufunc.name, ufunc.doc, 0);
    if (object == nullptr || PyModule_AddObject(module, ufunc.name, object) < 0) {
      Py_XDECREF(object);
      return -1;
    }
  }
  return 0;
}

/// The index of `ufunc`'s loop for the given type numbers, or -1.
int find_loop(PyUFuncObject* ufunc, const int* signature) {
  for (int k = 0; k < ufunc->ntypes; ++k) {
    bool match = true;
    for (int i = 0; i < ufunc->nargs; ++i)
      match = match && ufunc->types[k * ufunc->nargs + i] == signature[i];
    if (match) return k;
  }
  return -1;
}

bool read_signature(PyObject* sequence, PyUFuncObject* ufunc, int* signature) {
  PyObject* items = PySequence_Fast(sequence, "the type signature must be a sequence");
  if (items == nullptr) return false;
  const Py_ssize_t length = PySequence_Fast_GET_SIZE(items);
  bool ok = length == ufunc->nargs && length <= 8;
  for (Py_ssize_t i = 0; ok && i < length; ++i) {
    signature[i] = static_cast<int>(PyLong_AsLong(PySequence_Fast_GET_ITEM(items, i)));
    ok = !(signature[i] == -1 && PyErr_Occurred());
  }
  Py_DECREF(items);
  if (!ok && !PyErr_Occurred())
    PyErr_Format(PyExc_ValueError, "%s takes %d operands", ufunc->name, ufunc->nargs);
  return ok;
}

constexpr char capsule_name[] = "quorvex.mkl._ufuncs.loop";

/// replace_loop(numpy_ufunc, vml_ufunc, type_numbers) -> the loop it replaced, in a capsule.
PyObject* replace_loop(PyObject*, PyObject* args) {
  PyObject *target, *source, *sequence;
  if (!PyArg_ParseTuple(args, "O!O!O", &PyUFunc_Type, &target, &PyUFunc_Type, &source, &sequence))
    return nullptr;
  auto* numpy_ufunc = reinterpret_cast<PyUFuncObject*>(target);
  auto* vml_ufunc = reinterpret_cast<PyUFuncObject*>(source);
  int signature[8];
  if (!read_signature(sequence, numpy_ufunc, signature)) return nullptr;
  const int ours = vml_ufunc->nargs == numpy_ufunc->nargs ? find_loop(vml_ufunc, signature) : -1;
  // Only the ufuncs of the thread's accuracy have loops in place of NumPy's.
  const std::ptrdiff_t index = vml_ufunc->functions - functions[0] + ours;
  if (ours < 0 || vml_ufunc->functions < functions[0] ||
      vml_ufunc->functions >= functions[0] + total_loops) {
    PyErr_Format(PyExc_ValueError, "%s has no loop for this type signature", vml_ufunc->name);
    return nullptr;
  }
  const int theirs = find_loop(numpy_ufunc, signature);
  if (theirs < 0) {
    PyErr_Format(PyExc_TypeError,
                 "NumPy offers no replaceable loop of np.%s for this type signature",
                 numpy_ufunc->name);
    return nullptr;
  }
  // Kept before the switch, so that the replacement finds NumPy's loop from its first call.
  *numpy_originals[index] = numpy_ufunc->functions[theirs];
  PyUFuncGenericFunction previous = nullptr;
  if (PyUFunc_ReplaceLoopBySignature(numpy_ufunc, numpy_loops[index], signature, &previous) < 0) {
    PyErr_Format(PyExc_TypeError,
                 "NumPy offers no replaceable loop of np.%s for this type signature",
                 numpy_ufunc->name);
    return nullptr;
  }
  return PyCapsule_New(reinterpret_cast<void*>(previous), capsule_name, nullptr);
}

/// restore_loop(numpy_ufunc, type_numbers, capsule): puts back the loop replace_loop returned.
PyObject* restore_loop(PyObject*, PyObject* args) {
  PyObject *target, *sequence, *capsule;
  if (!PyArg_ParseTuple(args, "O!OO", &PyUFunc_Type, &target, &sequence, &capsule)) return nullptr;
  auto* numpy_ufunc = reinterpret_cast<PyUFuncObject*>(target);
  int signature[8];
  if (!read_signature(sequence, numpy_ufunc, signature)) return nullptr;
  void* previous = PyCapsule_GetPointer(capsule, capsule_name);
  if (previous == nullptr) return nullptr;
  if (PyUFunc_ReplaceLoopBySignature(numpy_ufunc,
                                     reinterpret_cast<PyUFuncGenericFunction>(previous), signature,
                                     nullptr) < 0) {
    PyErr_Format(PyExc_TypeError, "np.%s lost its loop for this type signature", numpy_ufunc->name);
    return nullptr;
  }
  Py_RETURN_NONE;
}

/// _set_max_count(n) -> the previous limit: how many elements one MKL call takes at most.
PyObject* set_max_count(PyObject*, PyObject* argument) {
  const Py_ssize_t value = PyLong_AsSsize_t(argument);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  if (value < 1 || value > INT_MAX) {
    PyErr_SetString(PyExc_ValueError, "the limit must lie in [1, 2**31 - 1]");
    return nullptr;
  }
  return PyLong_FromSsize_t(max_count.exchange(value));
}

/// _thread_state() -> (the calling thread's VML mode word, MXCSR's FTZ and DAZ bits).
PyObject* thread_state(PyObject*, PyObject*) {
  return Py_BuildValue("(KI)", static_cast<unsigned long long>(vmlGetMode_64()), ftz_daz());
}

/// get_mode() -> the calling thread's VML mode word.
PyObject* get_mode(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(vmlGetMode()); }

/// set_mode(word) -> the previous mode word of the calling thread; MKL changes the fields the
/// word sets.
PyObject* set_mode(PyObject*, PyObject* argument) {
  const unsigned long word = PyLong_AsUnsignedLong(argument);
  if (word == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  if (word > UINT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "a VML mode word has 32 bits");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(vmlSetMode(static_cast<unsigned>(word)));
}

/// _restore_thread_state(state) -> whether the thread's mode word is the state's again.
PyObject* restore_thread_state(PyObject*, PyObject* args) {
  unsigned long long word = 0;
  unsigned bits = 0;
  if (!PyArg_ParseTuple(args, "(KI)", &word, &bits)) return nullptr;
  const bool restored = restore_mode(word);
  set_ftz_daz(bits);
  return PyBool_FromLong(restored);
}

/// choose_scans(kernel): the loops look through their results where the kernel library
/// ("def", "avx512", ...) leaves them unreported, and everywhere some kernel does on a library
/// the rows do not characterize.
PyObject* choose_scans(PyObject*, PyObject* argument) {
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(argument, &size);
  if (text == nullptr) return nullptr;
  const std::string_view kernel(text, static_cast<std::size_t>(size));
  const bool characterized =
      std::ranges::find(characterized_kernels, kernel) != std::end(characterized_kernels);
  for (const LoopRow& row : loop_rows) {
    if (row.scans == nullptr) continue;
    const std::string_view kernels = row.kernels;
    bool listed = kernels == "*";
    for (std::size_t begin = 0; !listed && begin < kernels.size();) {
      const std::size_t end = std::min(kernels.find(' ', begin), kernels.size());
      listed = kernels.substr(begin, end - begin) == kernel;
      begin = end + 1;
    }
    *row.scans = listed || !characterized;
  }
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"choose_scans", choose_scans, METH_O,
     "choose_scans(kernel): look for the results this VML kernel library leaves unreported."},
    {"replace_loop", replace_loop, METH_VARARGS,
     "replace_loop(numpy_ufunc, vml_ufunc, type_numbers): make a NumPy ufunc's loop for these "
     "types the vml ufunc's; returns the replaced loop for restore_loop."},
    {"restore_loop", restore_loop, METH_VARARGS,
     "restore_loop(numpy_ufunc, type_numbers, loop): put back a loop that replace_loop returned."},
    {"get_mode", get_mode, METH_NOARGS, "get_mode() -> the calling thread's VML mode word."},
    {"set_mode", set_mode, METH_O,
     "set_mode(word) -> the calling thread's previous VML mode word; MKL changes the fields "
     "the word sets."},
    {"_thread_state", thread_state, METH_NOARGS,
     "_thread_state(): the calling thread's VML mode word and MXCSR's FTZ and DAZ bits."},
    {"_restore_thread_state", restore_thread_state, METH_VARARGS,
     "_restore_thread_state(state): puts back what _thread_state() returned, the mode word bit "
     "for bit; returns whether it could."},
    {"_set_max_count", set_max_count, METH_O,
     "_set_max_count(n): the largest count of one MKL call; for tests. Returns the previous."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorvex.mkl._ufuncs",
    "NumPy ufuncs on MKL's vector math; see quorvex.mkl.vml.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

/// NumPy's own loops that decide underflows, taken while NumPy's loops are NumPy's.
int find_numpy_references() {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return -1;
  for (const LoopRow& row : loop_rows) {
    if (row.underflow_ufunc == nullptr) continue;
    PyObject* ufunc = PyObject_GetAttrString(numpy, row.underflow_ufunc);
    if (ufunc == nullptr) {
      Py_DECREF(numpy);
      return -1;
    }
    if (PyObject_TypeCheck(ufunc, &PyUFunc_Type)) {
      auto* u = reinterpret_cast<PyUFuncObject*>(ufunc);
      int signature[8] = {};
      for (int i = 0; i < row.nin + row.nout; ++i)
        signature[i] = row.types[static_cast<std::size_t>(i)];
      const int k = u->nargs == row.nin + row.nout ? find_loop(u, signature) : -1;
      if (k >= 0 && u->data[k] == nullptr) *row.numpy_reference = u->functions[k];
    }
    Py_DECREF(ufunc);
  }
  Py_DECREF(numpy);
  return 0;
}

PyObject* initialize() {
  if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0) return nullptr;
  for (const LoopRow& row : loop_rows)
    if (row.scans != nullptr) *row.scans = true;  // until choose_scans knows the kernel
  if (find_numpy_references() < 0) return nullptr;
  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  for (std::size_t space = 0; space < namespaces; ++space) {
    PyObject* target = module;
    if (namespace_names[space] != nullptr) {
      target = PyModule_New(namespace_names[space]);  // vml names them quorvex.mkl.vml.<name>
      if (target == nullptr || PyModule_AddObject(module, namespace_names[space], target) < 0) {
        Py_XDECREF(target);
        Py_DECREF(module);
        return nullptr;
      }
    }
    if (add_ufuncs(target, space) < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
#ifdef Py_GIL_DISABLED
  // The loops share only tables written here and the scans choose_scans sets once, when vml
  // is imported; VML's mode and MKL's threads are the calling thread's own.
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
  return module;
}

}  // namespace
}  // namespace quorvex::ufuncs

PyMODINIT_FUNC PyInit__ufuncs(void) { return quorvex::ufuncs::initialize(); }
