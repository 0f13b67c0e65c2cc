// The direct way for contiguous arrays of one shape, else NumPy's buffered iterator.
#include "operands.hpp"

#include <mkl_vml_functions.h>

#include "block_size.hpp"
#include "overlap.hpp"

namespace quorvex::expressions {
namespace {

bool contiguous_as(PyArrayObject* a, bool fortran) {
  return PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a) &&
         (fortran ? PyArray_IS_F_CONTIGUOUS(a) : PyArray_IS_C_CONTIGUOUS(a));
}

bool overlaps(PyArrayObject* a, PyArrayObject* b) {
  const auto bytes = [](PyArrayObject* x) {
    return Span{PyArray_BYTES(x), PyArray_BYTES(x) + PyArray_NBYTES(x)};
  };
  return overlap(bytes(a), bytes(b));
}

/// The shape of the result: the first input's of ndim > 0, all of which must share it.
struct Shape {
  int ndim = 0;
  npy_intp* dims = nullptr;
  bool fortran = false;
};

/// Whether an output can be written in place: the result's shape and layout, the register's
/// type, writable, and overlapping no input but one it alone replaces elementwise.
bool direct_output(const Program& p, PyArrayObject* const* in, PyArrayObject* o, int type,
                   const Shape& s) {
  if (PyArray_NDIM(o) != s.ndim ||
      (s.ndim > 0 && !PyArray_CompareLists(PyArray_DIMS(o), s.dims, s.ndim)) ||
      !contiguous_as(o, s.fortran) || !PyArray_EquivTypenums(PyArray_TYPE(o), type) ||
      !PyArray_ISWRITEABLE(o))
    return false;
  for (std::size_t i = 0; i < p.inputs.size(); ++i) {
    const bool same = PyArray_BYTES(o) == PyArray_BYTES(in[i]) &&
                      PyArray_EquivTypes(PyArray_DESCR(o), PyArray_DESCR(in[i])) &&
                      PyArray_NDIM(in[i]) == s.ndim;
    if (overlaps(o, in[i]) && !(same && p.outputs.size() == 1)) return false;
  }
  return true;
}

/// Whether the arrays can be read and written in place: every input of ndim > 0 of one shape,
/// all C- or all F-contiguous, and outputs likewise in the registers' types; 0-d inputs go as
/// steps of 0.
bool direct_operands(const Program& p, PyArrayObject* const* in, PyArrayObject* const* out,
                     NPY_ORDER order, Shape& s) {
  PyArrayObject* first = nullptr;
  for (std::size_t j = 0; j < p.inputs.size(); ++j)
    if (PyArray_NDIM(in[j]) > 0 && first == nullptr) first = in[j];
  s.ndim = first == nullptr ? 0 : PyArray_NDIM(first);
  s.dims = first == nullptr ? nullptr : PyArray_DIMS(first);
  s.fortran = first != nullptr && !PyArray_IS_C_CONTIGUOUS(first) && PyArray_IS_F_CONTIGUOUS(first);
  if (s.fortran ? order == NPY_CORDER : order == NPY_FORTRANORDER && s.ndim > 1) return false;
  for (std::size_t j = 0; j < p.inputs.size(); ++j) {
    PyArrayObject* a = in[j];
    if (!PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a)) return false;
    if (PyArray_NDIM(a) == 0) continue;
    if (!PyArray_SAMESHAPE(a, first) || !contiguous_as(a, s.fortran)) return false;
  }
  for (std::size_t j = 0; j < p.outputs.size(); ++j) {
    const int type = p.registers[static_cast<std::size_t>(p.outputs[j])].type;
    if (out[j] != nullptr && !direct_output(p, in, out[j], type, s)) return false;
  }
  return true;
}

NpyIter* make_iterator(const Program& p, PyArrayObject** operands, NPY_ORDER order,
                       NPY_CASTING casting, npy_intp block) {
  const std::size_t nin = p.inputs.size(), nop = nin + p.outputs.size();
  std::vector<npy_uint32> flags(nop);
  std::vector<PyArray_Descr*> dtypes(nop, nullptr);
  const npy_uint32 elementwise = p.outputs.size() == 1 ? NPY_ITER_OVERLAP_ASSUME_ELEMENTWISE : 0;
  for (std::size_t j = 0; j < nop; ++j) {
    const npy_uint32 common = NPY_ITER_NBO | NPY_ITER_ALIGNED | NPY_ITER_CONTIG | elementwise;
    if (j < nin) {
      flags[j] = NPY_ITER_READONLY | common;
    } else {
      flags[j] = NPY_ITER_WRITEONLY | NPY_ITER_NO_BROADCAST | common |
                 (operands[j] == nullptr ? NPY_ITER_ALLOCATE : 0);
      dtypes[j] =
          PyArray_DescrFromType(p.registers[static_cast<std::size_t>(p.outputs[j - nin])].type);
    }
  }
  NpyIter* iterator = NpyIter_AdvancedNew(
      static_cast<int>(nop), operands,
      NPY_ITER_BUFFERED | NPY_ITER_EXTERNAL_LOOP | NPY_ITER_RANGED | NPY_ITER_ZEROSIZE_OK |
          NPY_ITER_DELAY_BUFALLOC | NPY_ITER_COPY_IF_OVERLAP,
      order, casting, flags.data(), dtypes.data(), -1, nullptr, nullptr, block);
  for (PyArray_Descr* d : dtypes) Py_XDECREF(d);
  return iterator;
}

/// The direct way: outputs allocated in the result's shape and order, each operand's data and
/// step between elements (0 for a 0-d input).
bool lay_out_directly(const Program& p, Operands& operands, const Shape& s, Evaluation& e) {
  std::vector<npy_intp> dims(s.dims, s.dims + s.ndim);
  for (std::size_t j = 0; j < operands.nout; ++j) {
    PyArrayObject*& o = operands[operands.nin + j];
    if (o != nullptr) continue;
    const int type = p.registers[static_cast<std::size_t>(p.outputs[j])].type;
    o = reinterpret_cast<PyArrayObject*>(
        PyArray_EMPTY(s.ndim, dims.data(), type, s.fortran ? 1 : 0));
    if (o == nullptr) return false;
  }
  e.size = PyArray_MultiplyList(dims.data(), s.ndim);
  npy_intp result_bytes = 0;
  for (std::size_t j = 0; j < operands.nin + operands.nout; ++j) {
    e.data.push_back(PyArray_BYTES(operands[j]));
    e.steps.push_back(PyArray_NDIM(operands[j]) == 0 ? 0 : PyArray_ITEMSIZE(operands[j]));
    if (j >= operands.nin) result_bytes += PyArray_NBYTES(operands[j]);
  }
  static const long last_cache = cache_size(3);
  e.stream_outputs = result_bytes > (last_cache > 0 ? last_cache : 32L << 20);
  return true;
}

}  // namespace

bool take_arrays(const Program& p, PyObject* inputs, PyObject* outputs, Operands& operands,
                 Evaluation& e) {
  for (std::size_t j = 0, varying = 0; j < p.arguments.size(); ++j) {
    PyObject* a = PyTuple_GET_ITEM(inputs, j);
    const Register& r = p.registers[static_cast<std::size_t>(p.arguments[j])];
    auto* array = reinterpret_cast<PyArrayObject*>(a);
    const bool scalar = r.role == Role::scalar_input;
    if (!PyArray_Check(a) || !PyArray_EquivTypenums(PyArray_TYPE(array), r.type) ||
        (scalar &&
         (PyArray_NDIM(array) != 0 || !PyArray_ISALIGNED(array) || !PyArray_ISNOTSWAPPED(array)))) {
      PyErr_Format(PyExc_TypeError, "argument %zu is not an array of the type compiled for", j);
      return false;
    }
    if (scalar) {
      e.scalars.push_back(PyArray_BYTES(array));
      continue;
    }
    Py_INCREF(a);
    operands[varying++] = array;
  }
  for (std::size_t j = 0; j < operands.nout; ++j) {
    PyObject* o = PyTuple_GET_ITEM(outputs, j);
    if (o == Py_None) continue;
    if (!PyArray_Check(o)) {
      PyErr_SetString(PyExc_TypeError, "out must be a NumPy array");
      return false;
    }
    if (PyArray_FailUnlessWriteable(reinterpret_cast<PyArrayObject*>(o), "output array") < 0)
      return false;
    Py_INCREF(o);
    operands[operands.nin + j] = reinterpret_cast<PyArrayObject*>(o);
  }
  return true;
}

bool lay_out(const Program& p, Operands& operands, NPY_ORDER order, NPY_CASTING casting,
             Evaluation& e) {
  e.program = &p;
  e.block = current_block_size();
  e.vml_mode = vmlGetMode();
  Shape shape;
  e.direct = direct_operands(p, operands.data(), operands.data() + operands.nin, order, shape);
  if (e.direct) {
    if (!lay_out_directly(p, operands, shape, e)) return false;
  } else {
    NpyIter* iterator = make_iterator(p, operands.data(), order, casting, e.block);
    if (iterator == nullptr) return false;
    e.iterators.push_back(iterator);
    e.size = NpyIter_GetIterSize(iterator);
    e.data.resize(operands.nin + operands.nout);
  }
  e.blocks = (e.size + e.block - 1) / e.block;
  return true;
}

int copy_iterators(Evaluation& e, int workers) {
  if (e.direct) return workers;
  if (NpyIter_IterationNeedsAPI(e.iterators[0])) return 1;
  for (int t = 1; t < workers; ++t) {
    NpyIter* copy = NpyIter_Copy(e.iterators[0]);
    if (copy == nullptr) {  // fewer workers do
      PyErr_Clear();
      break;
    }
    e.iterators.push_back(copy);
  }
  return static_cast<int>(e.iterators.size());
}

void finish_iterators(Evaluation& e, Operands& operands) {
  if (e.direct) return;
  for (std::size_t j = 0; j < operands.nout; ++j) {
    PyArrayObject*& o = operands[operands.nin + j];
    if (o != nullptr) continue;
    o = NpyIter_GetOperandArray(e.iterators[0])[operands.nin + j];
    Py_INCREF(o);
  }
  for (NpyIter* it : e.iterators) NpyIter_Deallocate(it);
  e.iterators.clear();
}

}  // namespace quorvex::expressions
