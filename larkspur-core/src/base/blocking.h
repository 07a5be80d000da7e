// BlockingHook: told before a call may block, so its caller can let go of
// what it must not hold while blocked (the Python binding releases the
// interpreter lock then, and keeps it for calls that never block).
#pragma once

namespace larkspur {

class BlockingHook {
 public:
  BlockingHook() = default;
  BlockingHook(const BlockingHook&) = delete;
  BlockingHook& operator=(const BlockingHook&) = delete;
  BlockingHook(BlockingHook&&) = delete;
  BlockingHook& operator=(BlockingHook&&) = delete;
  virtual ~BlockingHook() = default;

  // Called before any system call or wait of the call; once or more.
  virtual void about_to_block() = 0;
};

}  // namespace larkspur
