#include "worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "activity.h"
#include "scheduler.h"
#include "thread_state.h"

namespace hk::worker {
namespace {

struct WorkQueue {
  std::mutex lock;
  sched::CondVar work;
  std::deque<std::function<void()>> items;
  std::thread thread;
  bool stopping = false;
};

constexpr int kQueues = 4;
WorkQueue g_queues[kQueues];
const char* const kNames[kQueues] = {"I/O worker", "PnP worker", "power worker", "wait/wake worker"};

void Run(WorkQueue* queue, const char* name) {
  ThreadInfo& self = CurrentThread();
  self.Name = name;
  // Each item was counted as activity when it was posted; while the worker runs it, waiting
  // in the kernel releases that count like any other kernel thread.
  self.Counted = true;
  for (;;) {
    std::function<void()> item;
    {
      std::unique_lock<std::mutex> guard(queue->lock);
      queue->work.wait(guard, [&] { return queue->stopping || !queue->items.empty(); }, "a work item");
      if (queue->items.empty()) return;
      item = std::move(queue->items.front());
      queue->items.pop_front();
    }
    item();
    activity::End();
  }
}

}  // namespace

void Start() {
  Stop();
  for (int i = 0; i < kQueues; ++i) {
    std::lock_guard<std::mutex> guard(g_queues[i].lock);
    g_queues[i].stopping = false;
    g_queues[i].thread = sched::Spawn([i] { Run(&g_queues[i], kNames[i]); });
  }
}

void Stop() {
  for (auto& queue : g_queues) {
    {
      std::lock_guard<std::mutex> guard(queue.lock);
      queue.stopping = true;
      queue.work.notify_all();
    }
    if (queue.thread.joinable()) sched::Join(queue.thread);
  }
}

void Post(Queue which, std::function<void()> work) {
  WorkQueue& queue = g_queues[(int)which];
  std::lock_guard<std::mutex> guard(queue.lock);
  activity::Begin();
  queue.items.push_back(std::move(work));
  queue.work.notify_one();
}

}  // namespace hk::worker
