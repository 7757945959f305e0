#pragma once
// AsioMainQueue: the main queue of a program whose main thread runs an asio
// event loop. Header-only asio, so only programs that use it pull it in.
#include <thread>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "core/engine/main_queue.h"

namespace kelvane {

// Create it on the thread that will call `io.run()`; `io` must outlive it.
class AsioMainQueue final : public MainQueue {
 public:
  explicit AsioMainQueue(asio::io_context& io) : io_(io), main_(std::this_thread::get_id()) {}
  void post(std::function<void()> work) override { asio::post(io_, std::move(work)); }
  bool onMainThread() const override { return std::this_thread::get_id() == main_; }

 private:
  asio::io_context& io_;
  std::thread::id main_;
};

}  // namespace kelvane
