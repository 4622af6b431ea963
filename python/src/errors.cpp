#include "errors.h"

#include <initializer_list>
#include <string>

#include "host/exceptions.h"
#include "imgio/image_io.h"
#include "imgnorm/errors.h"

namespace imgnorm_py {

namespace {

// The classes live as long as the interpreter; the module holds them too.
struct ErrorClasses {
  PyObject* error = nullptr;
  PyObject* hostError = nullptr;
  PyObject* badImage = nullptr;
  PyObject* badParams = nullptr;
  PyObject* notTrained = nullptr;
  PyObject* canNotTrain = nullptr;
  PyObject* canNotRun = nullptr;
  PyObject* notImplemented = nullptr;
  PyObject* normalizationFailed = nullptr;
  PyObject* imageFileError = nullptr;
};

ErrorClasses classes;

PyObject* addClass(py::module_& module, const char* name, const char* doc,
                   std::initializer_list<PyObject*> bases) {
  py::tuple baseTuple(bases.size());
  std::size_t i = 0;
  for (PyObject* base : bases) baseTuple[i++] = py::handle(base);
  const std::string qualified = std::string("imgnorm.") + name;
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, baseTuple.ptr(), nullptr);
  if (!cls) throw py::error_already_set();
  module.add_object(name, py::handle(cls));
  return cls;
}

// Raises cls(message) with error_number set; an error_number of None marks
// a failure the library reports without an exception.
void raise(PyObject* cls, const std::string& message, py::object errorNumber) {
  py::object error = py::reinterpret_borrow<py::object>(cls)(message);
  error.attr("error_number") = std::move(errorNumber);
  PyErr_SetObject(cls, error.ptr());
}

void raise(PyObject* cls, const kcException& e) { raise(cls, e.what(), py::int_(e.errorNumber())); }

void translate(std::exception_ptr pending) {
  namespace defs = kcImageNormalizerDefs;
  try {
    std::rethrow_exception(pending);
  } catch (const defs::BadImage& e) {
    raise(classes.badImage, e);
  } catch (const defs::BadParams& e) {
    raise(classes.badParams, e);
  } catch (const defs::NotTrained& e) {
    raise(classes.notTrained, e);
  } catch (const defs::CanNotTrain& e) {
    raise(classes.canNotTrain, e);
  } catch (const defs::CanNotRun& e) {
    raise(classes.canNotRun, e);
  } catch (const defs::NotImplemented& e) {
    raise(classes.notImplemented, e);
  } catch (const kcException& e) {
    raise(classes.hostError, e);
  } catch (const imgio::ImageError& e) {
    raise(classes.imageFileError, e.what(), py::none());
  }
}

}  // namespace

void addErrors(py::module_& module) {
  classes.error = addClass(module, "Error",
                           "Base of the errors of imgnorm.\n\n"
                           "error_number is the library's error number of the failure, or None\n"
                           "for a failure the library reports without an exception.",
                           {PyExc_Exception});
  PyObject_SetAttrString(classes.error, "error_number", Py_None);
  classes.badImage = addClass(module, "BadImage", "An image the tool cannot work with.",
                              {classes.error, PyExc_ValueError});
  classes.badParams =
      addClass(module, "BadParams", "A rejected parameter or method, with the rule it breaks.",
               {classes.error, PyExc_ValueError});
  classes.canNotTrain = addClass(module, "CanNotTrain",
                                 "Training refused: unknown methods, no reference image, or an\n"
                                 "empty masked reference histogram for a global method.",
                                 {classes.error, PyExc_ValueError});
  classes.notTrained =
      addClass(module, "NotTrained", "The tool was not trained for the method asked to run.",
               {classes.error, PyExc_RuntimeError});
  classes.canNotRun =
      addClass(module, "CanNotRun", "The tool cannot run.", {classes.error, PyExc_RuntimeError});
  classes.notImplemented = addClass(module, "NotImplemented", "Not implemented by the library.",
                                    {classes.error, PyExc_NotImplementedError});
  classes.hostError = addClass(module, "HostError",
                               "Any other failure of the library (archives, pixel buffers,\n"
                               "aborts), with its message and error number.",
                               {classes.error, PyExc_RuntimeError});
  classes.normalizationFailed =
      addClass(module, "NormalizationFailed",
               "A run that did not succeed: a global method found an empty masked\n"
               "histogram or could not build its gray-level map. The message says why;\n"
               "error_number is None.",
               {classes.error, PyExc_RuntimeError});
  classes.imageFileError =
      addClass(module, "ImageFileError",
               "An image file that cannot be read or written; the message names the\n"
               "file and says why. error_number is None.",
               {classes.error, PyExc_OSError});
  py::register_exception_translator(translate);
}

void throwNormalizationFailed(const std::wstring& message) {
  raise(classes.normalizationFailed, py::cast(message).cast<std::string>(), py::none());
  throw py::error_already_set();
}

}  // namespace imgnorm_py
