// Shared database references and the write-ticket queue: strict ticket order
// among writers, re-entry by the owner, time-outs with the measured wait,
// waiters that disconnect, administrator unlocks and slot look-ups.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/dbhelpers.h"
#include "core/dbref.h"
#include "server/paths.h"
#include "server/settings.h"
#include "support/settings_db.h"
#include "support/settings_fixture.h"

namespace {

class DbrefTest : public SettingsDbTest {
protected:
    void SetUp() override {
        SettingsDbTest::SetUp();
        open_settings();
        settings.max_databases = 4;
        dbref_init();
        make_database("sales");
    }
    void TearDown() override {
        dbref_destroy();
        settings.max_databases = 2000;
        SettingsDbTest::TearDown();
    }
    void make_database(const char* name) {
        create_folder(settings.databases_path.get().c_str());
        char path[KESTRIX_PATH_MAX];
        get_path_to_database(path, name);
        sqlite3* db = open_with_key(path, nullptr);
        ASSERT_TRUE(exec_ok(db, "CREATE TABLE t (x)"));
        sqlite3_close_v2(db);
    }
    static void wait_until(const std::function<bool()>& cond) {
        for (int i = 0; i < 500 && !cond(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
};

dbref_session* session_for(std::vector<std::unique_ptr<dbref_session>>& all, uint32_t id,
                           int slot) {
    all.push_back(std::make_unique<dbref_session>());
    all.back()->id = id;
    all.back()->dbref = slot;
    return all.back().get();
}

TEST_F(DbrefTest, LookupIsCaseInsensitiveAndNeedsTheFile) {
    int slot = dbref_get("sales", 1);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(dbref_get("SALES", 0), slot);
    EXPECT_EQ(dbref_get("missing", 1), -1);
    EXPECT_EQ(dbref_get("other", 0), -1);
    EXPECT_EQ(dbref_value(slot, DBREF_ISWAL, DBREF_READ), 1);  // switched to WAL on first use
    EXPECT_STREQ(dbref_dbname(-1), "N/A");
    EXPECT_STREQ(dbref_dbname(dbref_limit()), "N/A");
    EXPECT_EQ(dbref_value(slot, DBREF_NCLIENTS, DBREF_INC), 1);
    EXPECT_EQ(dbref_value(slot, DBREF_NCLIENTS, DBREF_DEC), 0);
    EXPECT_EQ(dbref_value(dbref_limit(), DBREF_NCLIENTS, DBREF_INC), 0);
}

TEST_F(DbrefTest, WritersAreServedInTicketOrder) {
    int slot = dbref_get("sales", 1);
    std::vector<std::unique_ptr<dbref_session>> all;
    dbref_session* first = session_for(all, 1, slot);
    ASSERT_EQ(dbref_startwrite(first), 1);
    EXPECT_EQ(dbref_startwrite(first), 1);  // the owner re-enters without a new ticket
    EXPECT_EQ(dbref_ticket_toserve(slot), first->ticket);

    std::mutex m;
    std::vector<uint32_t> order;
    std::vector<std::thread> threads;
    for (uint32_t id = 2; id <= 4; ++id) {
        dbref_session* s = session_for(all, id, slot);
        threads.emplace_back([s, &m, &order] {
            ASSERT_EQ(dbref_startwrite(s), 1);
            {
                std::lock_guard<std::mutex> g(m);
                order.push_back(s->id);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            dbref_endwrite(s);
        });
        // Each writer holds its ticket before the next one arrives.
        wait_until([&] { return all.back()->is_waiting == 1; });
    }
    dbref_endwrite(first);
    for (auto& t : threads) t.join();
    EXPECT_EQ(order, (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_EQ(dbref_ticket_toserve(slot), 0);
    EXPECT_EQ(dbref_value(slot, DBREF_WRITERS, DBREF_READ), 0);
}

TEST_F(DbrefTest, AWaiterGivesUpAtItsTimeoutAndLeavesNoTicket) {
    int slot = dbref_get("sales", 1);
    std::vector<std::unique_ptr<dbref_session>> all;
    dbref_session* owner = session_for(all, 1, slot);
    ASSERT_EQ(dbref_startwrite(owner), 1);
    dbref_session* waiter = session_for(all, 2, slot);
    waiter->timeout = 1;
    EXPECT_EQ(dbref_startwrite(waiter), 0);
    EXPECT_GE(waiter->lock_wait_time, 0.9);
    EXPECT_EQ(waiter->ticket, 0);
    EXPECT_EQ(dbref_ticket_toserve(slot), owner->ticket);
    dbref_endwrite(owner);
    EXPECT_EQ(dbref_ticket_toserve(slot), 0);
}

TEST_F(DbrefTest, ADisconnectingWaiterStopsWaiting) {
    int slot = dbref_get("sales", 1);
    std::vector<std::unique_ptr<dbref_session>> all;
    dbref_session* owner = session_for(all, 1, slot);
    ASSERT_EQ(dbref_startwrite(owner), 1);
    dbref_session* waiter = session_for(all, 2, slot);
    std::atomic<int> result{-1};
    std::thread t([&] { result = dbref_startwrite(waiter); });
    wait_until([&] { return waiter->is_waiting == 1; });
    waiter->is_disconnecting = 1;
    dbref_wakeup(slot);
    t.join();
    EXPECT_EQ(result, 0);
    dbref_disconnect(waiter);
    EXPECT_EQ(dbref_ticket_toserve(slot), owner->ticket);
    dbref_disconnect(owner);
    EXPECT_EQ(dbref_ticket_toserve(slot), 0);
}

TEST_F(DbrefTest, ForceUnlockFreesTheQueueForTheNextWriter) {
    int slot = dbref_get("sales", 1);
    std::vector<std::unique_ptr<dbref_session>> all;
    dbref_forceunlock(slot);  // empty queue: nothing to remove
    dbref_session* owner = session_for(all, 1, slot);
    ASSERT_EQ(dbref_startwrite(owner), 1);
    EXPECT_EQ(dbref_value(slot, DBREF_LOCKOWNER, DBREF_READ), 1);
    dbref_forceunlock(slot);
    EXPECT_EQ(dbref_value(slot, DBREF_LOCKOWNER, DBREF_READ), 0);
    dbref_session* next = session_for(all, 2, slot);
    next->timeout = 1;
    EXPECT_EQ(dbref_startwrite(next), 1);
    dbref_endwrite(owner);  // finds no row left; harmless
    dbref_endwrite(next);
}

}  // namespace
