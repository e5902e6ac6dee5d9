#include "CTaskMgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace OrvaneSvr;
using namespace std::chrono_literals;

namespace {

Task Make(TaskItem item, TaskLevel level, const char* tag = "") {
    Task task;
    task.curTask = item;
    task.level = level;
    task.tag = tag;
    return task;
}

std::vector<TaskItem> Drain(CTaskMgr& queue) {
    std::vector<TaskItem> order;
    Task task;
    while (queue.GetTask(task))
        order.push_back(task.curTask);
    return order;
}

}  // namespace

TEST(CTaskMgr, HighestLevelFirstOldestFirstWithinALevel) {
    CTaskMgr queue;
    queue.AddTask(Make(pluse, high, "first"));
    queue.AddTask(Make(terminal, high, "second"));
    queue.AddTask(Make(checkNet, mostHigh));
    Task task;
    ASSERT_TRUE(queue.GetTask(task));
    EXPECT_EQ(checkNet, task.curTask);
    ASSERT_TRUE(queue.GetTask(task));
    EXPECT_EQ(pluse, task.curTask);
    EXPECT_STREQ("first", task.tag.c_str());
    ASSERT_TRUE(queue.GetTask(task));
    EXPECT_EQ(terminal, task.curTask);
    EXPECT_FALSE(queue.GetTask(task));

    // A lower level queued first still waits for every higher one; equal levels keep their order.
    queue.AddTask(Make(checkWifi, low));
    queue.AddTask(Make(reqState, normal));
    queue.AddTask(Make(checkUnknowNet, normal));
    queue.AddTask(Make(reqTicket, mostHigh));
    queue.AddTask(Make(termForWifi, low));
    EXPECT_EQ((std::vector<TaskItem>{reqTicket, reqState, checkUnknowNet, checkWifi, termForWifi}),
              Drain(queue));
}

TEST(CTaskMgr, TaskIsCopiedOutWhole) {
    CTaskMgr queue;
    Task in = Make(term, high, "5");
    in.nextTask = checkNet;
    queue.AddTask(in);
    in.tag = "changed after queuing";
    Task out;
    ASSERT_TRUE(queue.GetTask(out));
    EXPECT_EQ(term, out.curTask);
    EXPECT_EQ(checkNet, out.nextTask);
    EXPECT_EQ(high, out.level);
    EXPECT_STREQ("5", out.tag.c_str());
}

TEST(CTaskMgr, RemoveTaskTakesEveryCopyByCurrentItemOnly) {
    CTaskMgr queue;
    queue.AddTask(Make(pluse, high));
    queue.AddTask(Make(reqState, normal));
    queue.AddTask(Make(pluse, low));
    Task chained = Make(term, normal);
    chained.nextTask = pluse;  // nextTask is not a match
    queue.AddTask(chained);
    queue.RemoveTask(pluse);
    EXPECT_EQ((std::vector<TaskItem>{reqState, term}), Drain(queue));

    queue.AddTask(Make(auth, high));
    queue.AddTask(Make(checkNet, mostHigh));
    queue.RemoveAllTask();
    EXPECT_EQ(0u, queue.Size());
}

TEST(CTaskMgr, WaitEndsOnAddOrStopAndIsBoundedOtherwise) {
    CTaskMgr queue;
    std::atomic<bool> running{true};

    auto start = std::chrono::steady_clock::now();
    queue.WaitForTask(100ms, &running);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 90ms);
    EXPECT_LT(waited, 1s);

    std::thread adder([&queue] {
        std::this_thread::sleep_for(50ms);
        queue.AddTask(Make(checkNet, mostHigh));
    });
    start = std::chrono::steady_clock::now();
    queue.WaitForTask(5s, &running);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    adder.join();
    EXPECT_EQ(1u, queue.Size());
    queue.RemoveAllTask();

    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        running = false;
        queue.Wake();
    });
    start = std::chrono::steady_clock::now();
    queue.WaitForTask(5s, &running);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    stopper.join();
}
