// BlockingHook: told before a call may block, so its caller can let go of
// what it must not hold while blocked (the Python binding releases the
// interpreter lock then, and keeps it for calls that never block).
#pragma once

namespace larkspur {

class BlockingHook {
 public:
  // Called before any system call or wait of the call; once or more.
  virtual void about_to_block() = 0;

 protected:
  BlockingHook() = default;
  BlockingHook(const BlockingHook&) = default;
  BlockingHook& operator=(const BlockingHook&) = default;
  ~BlockingHook() = default;
};

}  // namespace larkspur
