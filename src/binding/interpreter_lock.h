// ReleasedLock: releases the interpreter lock for a scope that touches no
// Python object, and takes it back when the scope ends, however it ends (an
// exception unwinding through it must reach the guard with the lock held).
#pragma once

#include "binding/python_api.h"

namespace kavro::binding {

class ReleasedLock {
 public:
  ReleasedLock() : thread_(PyEval_SaveThread()) {}
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;
  ~ReleasedLock() { PyEval_RestoreThread(thread_); }

 private:
  PyThreadState* thread_;
};

}  // namespace kavro::binding
