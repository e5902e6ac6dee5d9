#include "CTaskMgr.h"

#include <gtest/gtest.h>

#include <vector>

using namespace OrvaneSvr;

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

// The queue has a fixed depth; a smaller one may be asked for per task (requests from the pipe),
// and room is usable again once tasks have been taken.
TEST(CTaskMgr, TasksBeyondTheDepthAreRefused) {
    CTaskMgr queue;
    for (size_t i = 0; i < CTaskMgr::kMaxRequestTasks; ++i)
        ASSERT_TRUE(queue.AddTask(Make(auth, high), CTaskMgr::kMaxRequestTasks)) << i;
    EXPECT_FALSE(queue.AddTask(Make(auth, high), CTaskMgr::kMaxRequestTasks));
    // The service's own tasks still find room up to the full depth.
    while (queue.Size() < CTaskMgr::kMaxTasks)
        ASSERT_TRUE(queue.AddTask(Make(pluse, high)));
    EXPECT_FALSE(queue.AddTask(Make(term, mostHigh, "3")));
    EXPECT_FALSE(queue.AddTask(Make(term, mostHigh, "3"), CTaskMgr::kMaxTasks * 2));  // capped
    EXPECT_EQ(queue.Size(), CTaskMgr::kMaxTasks);

    Task task;
    ASSERT_TRUE(queue.GetTask(task));
    EXPECT_TRUE(queue.AddTask(Make(term, mostHigh, "3")));
    queue.RemoveTask(pluse);
    EXPECT_EQ(queue.Size(), CTaskMgr::kMaxRequestTasks);  // 31 auth left, and the logout
    EXPECT_FALSE(queue.AddTask(Make(auth, high), CTaskMgr::kMaxRequestTasks));
}
