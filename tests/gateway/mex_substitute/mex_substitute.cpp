#include "mex_substitute.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

struct mxArray_tag {
  mxClassID classId = mxUNKNOWN_CLASS;
  std::vector<mwSize> dims;
  bool complex = false;
  bool sparse = false;
  bool backed = true;
  std::vector<double> storage;  // double elements keep every class aligned
  // A struct's field names, and its values element by element (owned, null when unset).
  std::vector<std::string> fieldNames;
  std::vector<mxArray*> fieldValues;
};

namespace {

size_t liveArrays = 0;
unsigned createsUntilAction = 0;
std::function<void()> createAction;

size_t Element_Size(mxClassID classId) {
  switch (classId) {
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
      return 1;
    case mxCHAR_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
      return 2;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
      return 8;
    default:
      return 0;
  }
}

size_t Count(const std::vector<mwSize>& dims) {
  size_t count = 1;
  for (mwSize extent : dims) count *= extent;
  return count;
}

mxArray* New_Array(mxClassID classId, std::vector<mwSize> dims, bool complex, bool backed) {
  // MATLAB keeps at least two dimensions and drops trailing singletons beyond them.
  while (dims.size() < 2) dims.push_back(1);
  while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
  auto* array = new mxArray_tag;
  array->classId = classId;
  array->dims = std::move(dims);
  array->complex = complex;
  array->backed = backed;
  if (backed) {
    const size_t bytes = Count(array->dims) * Element_Size(classId) * (complex ? 2 : 1);
    array->storage.assign((bytes + sizeof(double) - 1) / sizeof(double), 0.0);
  }
  ++liveArrays;
  return array;
}

}  // namespace

const mwSize* mxGetDimensions(const mxArray* array) { return array->dims.data(); }
mwSize mxGetNumberOfDimensions(const mxArray* array) { return array->dims.size(); }
size_t mxGetNumberOfElements(const mxArray* array) { return Count(array->dims); }
mxClassID mxGetClassID(const mxArray* array) { return array->classId; }
bool mxIsComplex(const mxArray* array) { return array->complex; }
bool mxIsSparse(const mxArray* array) { return array->sparse; }

void* mxGetData(const mxArray* array) {
  if (!array->backed) return nullptr;
  return const_cast<double*>(array->storage.data());
}

mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid,
                              mxComplexity flag) {
  if (createAction && --createsUntilAction == 0) {
    std::function<void()> action = std::move(createAction);
    createAction = nullptr;
    action();
  }
  return New_Array(classid, std::vector<mwSize>(dims, dims + ndim), flag == mxCOMPLEX, true);
}

void mxDestroyArray(mxArray* array) {
  if (array == nullptr) return;
  for (mxArray* value : array->fieldValues) mxDestroyArray(value);
  --liveArrays;
  delete array;
}

bool mxIsLogical(const mxArray* array) { return array->classId == mxLOGICAL_CLASS; }
mxLogical* mxGetLogicals(const mxArray* array) {
  return mxIsLogical(array) ? static_cast<mxLogical*>(mxGetData(array)) : nullptr;
}
bool mxIsChar(const mxArray* array) { return array->classId == mxCHAR_CLASS; }
bool mxIsDouble(const mxArray* array) { return array->classId == mxDOUBLE_CLASS; }
bool mxIsSingle(const mxArray* array) { return array->classId == mxSINGLE_CLASS; }
bool mxIsStruct(const mxArray* array) { return array->classId == mxSTRUCT_CLASS; }
size_t mxGetM(const mxArray* array) { return array->dims[0]; }
size_t mxGetN(const mxArray* array) {
  return Count(std::vector<mwSize>(array->dims.begin() + 1, array->dims.end()));
}

char* mxArrayToString(const mxArray* array) {
  if (!mxIsChar(array) || !array->backed) return nullptr;
  const size_t n = Count(array->dims);
  char* text = static_cast<char*>(std::malloc(n + 1));
  const auto* chars = static_cast<const uint16_t*>(mxGetData(array));
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>(chars[i]);
  text[n] = '\0';
  return text;
}

void mxFree(void* pointer) { std::free(pointer); }

mxArray* mxCreateDoubleMatrix(size_t m, size_t n, mxComplexity flag) {
  const mwSize dims[2] = {m, n};
  return mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, flag);
}

mxArray* mxCreateDoubleScalar(double value) {
  mxArray* array = mxCreateDoubleMatrix(1, 1, mxREAL);
  *mxGetPr(array) = value;
  return array;
}

mxArray* mxCreateLogicalScalar(mxLogical value) {
  mxArray* array = New_Array(mxLOGICAL_CLASS, {1, 1}, false, true);
  *mxGetLogicals(array) = value;
  return array;
}

double* mxGetPr(const mxArray* array) {
  return mxIsDouble(array) ? static_cast<double*>(mxGetData(array)) : nullptr;
}

mxArray* mxCreateStructMatrix(size_t m, size_t n, int nfields, const char** fieldnames) {
  mxArray* array = New_Array(mxSTRUCT_CLASS, {m, n}, false, true);
  for (int k = 0; k < nfields; ++k) array->fieldNames.emplace_back(fieldnames[k]);
  array->fieldValues.assign(m * n * static_cast<size_t>(nfields), nullptr);
  return array;
}

namespace {
long Field_Slot(const mxArray* array, size_t index, const char* name) {
  if (!mxIsStruct(array) || index >= Count(array->dims)) return -1;
  for (size_t k = 0; k < array->fieldNames.size(); ++k) {
    if (array->fieldNames[k] == name) return long(index * array->fieldNames.size() + k);
  }
  return -1;
}
}  // namespace

mxArray* mxGetField(const mxArray* array, size_t index, const char* name) {
  const long slot = Field_Slot(array, index, name);
  return slot < 0 ? nullptr : array->fieldValues[size_t(slot)];
}

void mxSetField(mxArray* array, size_t index, const char* name, mxArray* value) {
  const long slot = Field_Slot(array, index, name);
  if (slot < 0) throw std::logic_error(std::string("mxSetField: no field ") + name);
  mxDestroyArray(array->fieldValues[size_t(slot)]);
  array->fieldValues[size_t(slot)] = value;
}

namespace {
std::vector<mex_substitute::MexWarning> warnings;

std::string Formatted(const char* format, va_list arguments) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, arguments);
  return text;
}
}  // namespace

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string message = Formatted(format, arguments);
  va_end(arguments);
  throw mex_substitute::MexError{std::move(message), id};
}

void mexWarnMsgIdAndTxt(const char* id, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  warnings.push_back({id, Formatted(format, arguments)});
  va_end(arguments);
}

void mexErrMsgTxt(const char* message) { throw mex_substitute::MexError{message, {}}; }

namespace {
std::vector<void (*)(void)> exitFunctions;
}  // namespace

int mexAtExit(void (*exitFunction)(void)) {
  exitFunctions.push_back(exitFunction);
  return 0;
}

namespace mex_substitute {

ArrayPtr Make_Array(mxClassID classId, const std::vector<mwSize>& dims, mxComplexity complexity) {
  return ArrayPtr(New_Array(classId, dims, complexity == mxCOMPLEX, true));
}

ArrayPtr Make_Filled(mxClassID classId, const std::vector<mwSize>& dims,
                     const std::vector<double>& values) {
  ArrayPtr array = Make_Array(classId, dims);
  if (values.size() != mxGetNumberOfElements(array.get())) {
    throw std::logic_error("Make_Filled: value count does not match the extents");
  }
  void* data = mxGetData(array.get());
  for (size_t i = 0; i < values.size(); ++i) {
    switch (classId) {
      case mxDOUBLE_CLASS:
        static_cast<double*>(data)[i] = values[i];
        break;
      case mxSINGLE_CLASS:
        static_cast<float*>(data)[i] = static_cast<float>(values[i]);
        break;
      case mxINT32_CLASS:
        static_cast<int32_t*>(data)[i] = static_cast<int32_t>(values[i]);
        break;
      default:
        throw std::logic_error("Make_Filled: class not supported");
    }
  }
  return array;
}

ArrayPtr Make_Scalar(double value, mxClassID classId) {
  return Make_Filled(classId, {1, 1}, {value});
}

ArrayPtr Make_Unbacked(mxClassID classId, const std::vector<mwSize>& dims) {
  return ArrayPtr(New_Array(classId, dims, false, false));
}

void Set_Sparse(mxArray* array) { array->sparse = true; }

double Element(const mxArray* array, size_t i) {
  const void* data = mxGetData(array);
  if (array->classId == mxDOUBLE_CLASS) return static_cast<const double*>(data)[i];
  if (array->classId == mxSINGLE_CLASS) return static_cast<const float*>(data)[i];
  throw std::logic_error("Element: class not supported");
}

void Intercept_Create(unsigned nth, std::function<void()> action) {
  createsUntilAction = nth;
  createAction = std::move(action);
}

size_t Live_Arrays() { return liveArrays; }

std::vector<MexWarning> Take_Warnings() { return std::exchange(warnings, {}); }

ArrayPtr Make_Text(const std::string& text) {
  ArrayPtr array = Make_Array(mxCHAR_CLASS, {1, text.size()});
  auto* chars = static_cast<uint16_t*>(mxGetData(array.get()));
  for (size_t i = 0; i < text.size(); ++i) chars[i] = static_cast<unsigned char>(text[i]);
  return array;
}

ArrayPtr Make_Struct(std::vector<std::pair<std::string, ArrayPtr>> fields) {
  std::vector<const char*> names;
  for (const auto& field : fields) names.push_back(field.first.c_str());
  ArrayPtr array(mxCreateStructMatrix(1, 1, int(names.size()), names.data()));
  for (auto& [name, value] : fields) mxSetField(array.get(), 0, name.c_str(), value.release());
  return array;
}

unsigned Clear_Mex() {
  const auto functions = std::move(exitFunctions);
  exitFunctions.clear();
  for (auto* function : functions) function();
  return static_cast<unsigned>(functions.size());
}

}  // namespace mex_substitute
