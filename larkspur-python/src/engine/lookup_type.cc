// larkspur.Lookup: a gather submitted with Table.submit, its reads going on
// while the caller does other work; waited for, polled by its eventfd, or
// awaited in asyncio.
#include <Python.h>

#include <chrono>
#include <cmath>
#include <optional>

#include "larkspur-python/src/binding/gil.h"
#include "larkspur-python/src/engine/lookup.h"
#include "larkspur-python/src/engine/members.h"

namespace larkspur::py {
namespace {

PyRef truth(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

// Lookups are made by Table.submit alone.
Result<LookupValue> refuse() {
  PyErr_SetString(PyExc_TypeError, "Lookup objects are made by Table.submit()");
  return Error::raised();
}

const io::Table::Pending& pending_of(const LookupValue& v) {
  return *v.pending;
}

Status wait_done(const LookupValue& v) {
  const io::Table::Pending& p = pending_of(v);
  if (p.done()) return ok();
  return blocking([&] {
    p.wait();
    return ok();
  });
}

PyRef done(const LookupValue& v) { return truth(pending_of(v).done()); }

Result<PyRef> wait(const LookupValue& v, Obj timeout) {
  const io::Table::Pending& p = pending_of(v);
  if (timeout.is_none()) {
    if (Status st = wait_done(v); !st) return std::move(st).error();
    return truth(true);
  }
  const double seconds = PyFloat_AsDouble(timeout.ptr);
  if (seconds == -1.0 && PyErr_Occurred() != nullptr) return Error::raised();
  if (std::isnan(seconds)) {
    return Error::invalid_argument("timeout must be a number of seconds");
  }
  const auto span = std::chrono::duration<double>(std::max(seconds, 0.0));
  // Capped at a day per wait: no duration overflows.
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::min(span, std::chrono::duration<double>(86400.0)));
  bool finished = p.done();
  if (!finished) {
    Status st = blocking([&] {
      finished = p.wait(ns);
      return ok();
    });
    if (!st) return std::move(st).error();
  }
  return truth(finished);
}

Result<PyRef> result(const LookupValue& v) {
  if (Status st = wait_done(v); !st) return std::move(st).error();
  if (Status st = pending_of(v).result(); !st) return std::move(st).error();
  return PyRef::borrow(v.result.get());
}

// The exception result() would raise, or None.
Result<PyRef> exception(const LookupValue& v) {
  if (Status st = wait_done(v); !st) return std::move(st).error();
  const Status st = pending_of(v).result();
  if (st) return PyRef::borrow(Py_None);
  raise_error(st.error());
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (value == nullptr) return Error::raised();
  return PyRef::steal(value);
}

PyRef cancel(const LookupValue& v) {
  const io::Table::Pending& p = pending_of(v);
  const bool running = !p.done();
  if (running) p.cancel();
  return truth(running);
}

std::uint64_t fileno(const LookupValue& v) {
  return static_cast<std::uint64_t>(pending_of(v).event_fd());
}

// asyncio: larkspur._aio waits for the eventfd through the running loop.
Result<PyRef> await(const LookupValue& /*v*/, Self self) {
  PyRef aio = PyRef::steal(PyImport_ImportModule("larkspur._aio"));
  if (!aio) return Error::raised();
  PyRef coro = PyRef::steal(
      PyObject_CallMethod(aio.get(), "wait_for_lookup", "O", self.ptr));
  if (!coro) return Error::raised();
  PyRef it =
      PyRef::steal(PyObject_CallMethod(coro.get(), "__await__", nullptr));
  if (!it) return Error::raised();
  return it;
}

constexpr auto kLookup = declare_class<LookupValue>(
    kEngineNames, "Lookup",
    "A gather submitted with Table.submit(): the rows found in the page\n"
    "cache are already in its output, the rest are being read. It keeps\n"
    "the output buffer until its reads have ended, whatever the caller does\n"
    "with it; dropping an unfinished Lookup waits for them.",
    Threads::kAny, init<&refuse>({}),
    method<&done>("done", {}, "Whether all its reads have ended."),
    method<&wait>("wait", {opt("timeout", "None")},
                  "Waits until done, or for `timeout` seconds; whether it is "
                  "done."),
    method<&result>("result", {},
                    "Waits until done; the filled output, or raises the "
                    "read's error\n(OSError, or OSError ECANCELED after "
                    "cancel())."),
    method<&exception>("exception", {},
                       "Waits until done; the exception result() would "
                       "raise, or None."),
    method<&cancel>("cancel", {},
                    "Drops the reads not yet started; whether it was still "
                    "running. The\noutput's content is then unspecified."),
    method<&fileno>("fileno", {},
                    "An eventfd that is readable once done, for selectors "
                    "and event loops."),
    method<&await>("__await__", {}));

}  // namespace

PyObject* new_lookup(LookupValue value) {
  return new_instance<kLookup>(std::move(value));
}

ClassRef lookup_class() noexcept { return class_ref<kLookup>(); }

}  // namespace larkspur::py
