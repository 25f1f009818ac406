#include "GThread.h"
#include "FoundationsTestSupport.h"
#include "GLiteThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

using foundations_test::WaitUntil;

// What the thread functions saw, in the order they saw it.
struct Journal {
    std::atomic<int> passes{0};
    std::atomic<int> exits{0};
    std::atomic<int> starts{0};
    std::atomic<int> passesUntilDone{-1}; // the body returns -1 on this pass
    std::atomic<int> startResult{1};
    std::string order; // only for loops run on the test thread

    static Journal &Of(void *context) { return *static_cast<Journal *>(context); }
    static int Body(void *context) {
        Journal &j = Of(context);
        j.order += 'P';
        return ++j.passes == j.passesUntilDone ? -1 : 0;
    }
    static int ConcurrentBody(void *context) {
        Journal &j = Of(context);
        return ++j.passes == j.passesUntilDone ? -1 : 0;
    }
    static int HookA(void *context) {
        Of(context).order += 'A';
        return 0;
    }
    static int HookB(void *context) {
        Of(context).order += 'B';
        return 0;
    }
    static int OnStart(void *context) {
        ++Of(context).starts;
        return Of(context).startResult;
    }
    static int OnExit(void *context) {
        ++Of(context).exits;
        return 0;
    }
};

void Fill(GThread &thread, Journal &journal) {
    thread.m_body = &Journal::Body;
    thread.m_onStart = &Journal::OnStart;
    thread.m_onExit = &Journal::OnExit;
    thread.m_context = &journal;
}

// The loop procedure runs on the test thread here, so that its steps can be
// checked one by one without any timing.
TEST(GThreadLoop, StartFunctionReturningZeroCancelsLoopAndExit) {
    Journal journal;
    journal.startResult = 0;
    GThread thread;
    Fill(thread, journal);
    EXPECT_EQ(0u, GThreadLoop(&thread));
    EXPECT_EQ(1, journal.starts);
    EXPECT_EQ(0, journal.passes);
    EXPECT_EQ(0, journal.exits);
    EXPECT_EQ(0, thread.m_running);
}

TEST(GThreadLoop, BodyReturningMinusOneEndsTheLoopThenExitRuns) {
    Journal journal;
    journal.passesUntilDone = 3;
    GThread thread;
    Fill(thread, journal);
    EXPECT_EQ(static_cast<uint32_t>(-1), GThreadLoop(&thread));
    EXPECT_EQ(3, journal.passes);
    EXPECT_EQ(1, journal.exits);
    EXPECT_EQ(0, thread.m_running);
}

TEST(GThreadLoop, SinglePassRunsOnceEvenWhenStopWasRequested) {
    Journal journal;
    GThread thread;
    Fill(thread, journal);
    thread.m_singlePass = 1;
    thread.m_stopRequested = 1;
    EXPECT_EQ(0u, GThreadLoop(&thread));
    EXPECT_EQ(1, journal.passes);
    EXPECT_EQ(1, journal.exits);

    Journal stopped;
    GThread noPass;
    Fill(noPass, stopped);
    noPass.m_stopRequested = 1;
    GThreadLoop(&noPass);
    EXPECT_EQ(0, stopped.passes);
    EXPECT_EQ(1, stopped.exits);
}

TEST(GThreadLoop, RequestedHooksRunOnceBeforeThePass) {
    Journal journal;
    journal.passesUntilDone = 2;
    GThread thread;
    Fill(thread, journal);
    thread.m_beforePassHookA = &Journal::HookA;
    thread.m_beforePassHookB = &Journal::HookB;
    thread.m_requestA = 1;
    thread.m_requestB = 1;
    GThreadLoop(&thread);
    EXPECT_EQ("ABPP", journal.order);
    EXPECT_EQ(0, thread.m_requestA);
    EXPECT_EQ(0, thread.m_requestB);
}

TEST(GThreadConcurrency, CancelledStartEndsWithoutPassOrExit) {
    Journal journal;
    journal.startResult = 0;
    auto thread = std::make_unique<GThread>();
    Fill(*thread, journal);
    thread->m_body = &Journal::ConcurrentBody;
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(WaitUntil([&] { return thread->m_running == 0; }));
    thread.reset();
    EXPECT_EQ(1, journal.starts);
    EXPECT_EQ(0, journal.passes);
    EXPECT_EQ(0, journal.exits);
}

TEST(GThreadConcurrency, DeletingStopsAfterThePassInProgress) {
    Journal journal;
    auto thread = std::make_unique<GThread>();
    Fill(*thread, journal);
    thread->m_body = &Journal::ConcurrentBody;
    ASSERT_TRUE(thread->Start());
    EXPECT_FALSE(thread->Start());
    ASSERT_TRUE(WaitUntil([&] { return journal.passes >= 2; }));

    thread.reset();
    EXPECT_EQ(1, journal.exits);
    const int passesAtDelete = journal.passes;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(passesAtDelete, journal.passes);
}

TEST(GThreadConcurrency, NeverStartedThreadIsDeletedWithoutWaiting) {
    auto thread = std::make_unique<GThread>();
    EXPECT_EQ(1, thread->m_running); // preset until a loop ends
    EXPECT_FALSE(thread->Started());
    thread.reset(); // would wait forever for a loop that does not exist
}

// A run function that returns once its stop function was called.
struct LiteJournal {
    std::atomic<bool> stopRequested{false};
    std::atomic<int> runs{0};
    std::atomic<int> stops{0};
    std::atomic<bool> runReturned{false};

    static LiteJournal &Of(void *context) { return *static_cast<LiteJournal *>(context); }
    static int Run(void *context) {
        LiteJournal &j = Of(context);
        ++j.runs;
        while (!j.stopRequested)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Slow to return, so that a destructor that does not wait is caught.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        j.runReturned = true;
        return 5;
    }
    static int Stop(void *context) {
        ++Of(context).stops;
        Of(context).stopRequested = true;
        return 0;
    }
};

void Fill(GLiteThread &thread, LiteJournal &journal) {
    thread.m_run = &LiteJournal::Run;
    thread.m_stop = &LiteJournal::Stop;
    thread.m_context = &journal;
}

TEST(GLiteThreadConcurrency, DeletingStopsTheRunAndWaitsForIt) {
    LiteJournal journal;
    auto thread = std::make_unique<GLiteThread>();
    Fill(*thread, journal);
    EXPECT_EQ(0, thread->m_running);
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(WaitUntil([&] { return journal.runs == 1; }));
    EXPECT_EQ(1, thread->m_running);

    thread.reset();
    EXPECT_EQ(1, journal.stops);
    EXPECT_TRUE(journal.runReturned);
}

TEST(GLiteThreadConcurrency, DeletingRightAfterStartWaitsForTheThreadToFinish) {
    for (int round = 0; round < 10; ++round) {
        LiteJournal journal;
        auto thread = std::make_unique<GLiteThread>();
        Fill(*thread, journal);
        ASSERT_TRUE(thread->Start());
        thread.reset();
        // The thread may have been scheduled only after the stop: it still
        // ran, saw the stop at once, and was done before the delete returned.
        EXPECT_EQ(1, journal.runs);
        EXPECT_TRUE(journal.runReturned);
    }
}

TEST(GLiteThreadConcurrency, WithoutRunFunctionTheThreadEndsAtOnce) {
    auto thread = std::make_unique<GLiteThread>();
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(WaitUntil([&] { return thread->m_running == 0; }));
    thread.reset();
}

TEST(GLiteThreadProc, ReturnsTheRunResultAndClearsRunning) {
    LiteJournal journal;
    journal.stopRequested = true;
    GLiteThread thread;
    thread.m_run = &LiteJournal::Run;
    thread.m_context = &journal;
    EXPECT_EQ(5u, GLiteThreadProc(&thread));
    EXPECT_EQ(0, thread.m_running);

    GLiteThread empty;
    EXPECT_EQ(0u, GLiteThreadProc(&empty));
    EXPECT_EQ(0, empty.m_running);
}

TEST(GLiteThreadProc, NeverStartedThreadIsStoppedAndDeletedWithoutWaiting) {
    LiteJournal journal;
    auto thread = std::make_unique<GLiteThread>();
    Fill(*thread, journal);
    thread.reset();
    EXPECT_EQ(1, journal.stops);
    EXPECT_EQ(0, journal.runs);
}

} // namespace
