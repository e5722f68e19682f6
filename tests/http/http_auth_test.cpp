// Basic auth under a flood of wrong passwords: who has bcrypt's next turn
// (KwBcryptTurns, on a clock the test moves), what KwBasicAuth remembers,
// shares and refuses, and the right password on a freshly started server
// passing at its first request while wrong ones pour in.
#include <crypt.h>
#include <gnutls/gnutls.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpTestClient.h"
#include "KwBasicAuth.h"
#include "KwBcryptTurns.h"
#include "KwStatsHttpServer.h"
#include "ScratchFolder.h"
#include "TestTime.h"

namespace {

typedef KwBcryptTurns::Clock Clock;

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

Clock::time_point At(double seconds) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A bcrypt hash of `password` at the lowest cost: checks take a millisecond.
std::string CheapHash(const std::string& password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data data{};
    if (crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt) == nullptr) {
        return std::string();
    }
    const char* hash = crypt_r(password.c_str(), salt, &data);
    return hash != nullptr ? hash : "";
}

std::string Base64(const std::string& text) {
    const gnutls_datum_t in = {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                               static_cast<unsigned>(text.size())};
    gnutls_datum_t out{};
    if (gnutls_base64_encode2(&in, &out) != GNUTLS_E_SUCCESS) {
        return std::string();
    }
    std::string encoded(reinterpret_cast<char*>(out.data), out.size);
    gnutls_free(out.data);
    return encoded;
}

// Holds the bcrypt thread inside an answer until opened, and records the
// order of the answers.
class Turns {
public:
    std::function<void(bool)> Done(const std::string& name) {
        return [this, name](bool granted) {
            std::unique_lock<std::mutex> lock(m_lock);
            m_order.push_back(name + (granted ? "+" : "-"));
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_open; });
        };
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_lock);
        m_open = true;
        m_changed.notify_all();
    }
    bool WaitFor(size_t answers) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(20),
                                  [&] { return m_order.size() >= answers; });
    }
    std::vector<std::string> Order() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_order;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open = false;
    std::vector<std::string> m_order;
};

}  // namespace

TEST(KwBcryptTurnsTest, ThoseWhoAskLeastGoFirstAndThoseAlikeTakeTurns) {
    KwBcryptTurns turns(3);
    for (int i = 0; i < 100; ++i) {
        turns.Asked("flood-a", At(0));
        turns.Asked("flood-b", At(0));
    }
    turns.Asked("scraper", At(0));
    turns.Asked("scraper", At(0));
    turns.Took("flood-a", At(0.5));
    // Asks: 100, 100, 2; a second later, each halved: 50 (class 6, for 32
    // to 63), 1 (class 1), none (class 0).
    const struct {
        const char* client;
        int askClass;
    } rows[] = {{"flood-a", 6}, {"flood-b", 6}, {"scraper", 1}, {"newcomer", 0}};
    for (const auto& row : rows) {
        EXPECT_EQ(turns.PlaceOf(row.client, At(1)).first, row.askClass) << row.client;
    }
    EXPECT_LT(turns.PlaceOf("newcomer", At(1)), turns.PlaceOf("scraper", At(1)));
    EXPECT_LT(turns.PlaceOf("scraper", At(1)), turns.PlaceOf("flood-b", At(1)));
    // Alike: the one whose last turn is older goes first (never: first).
    EXPECT_LT(turns.PlaceOf("flood-b", At(1)), turns.PlaceOf("flood-a", At(1)));
    turns.Took("flood-b", At(1));
    EXPECT_LT(turns.PlaceOf("flood-a", At(1)), turns.PlaceOf("flood-b", At(1)));
    // Beyond three clients, the one that asked least lately is forgotten:
    // it comes back as a newcomer.
    turns.Asked("fourth", At(1));
    EXPECT_EQ(turns.PlaceOf("scraper", At(1)), turns.PlaceOf("newcomer", At(1)));
    EXPECT_EQ(turns.PlaceOf("fourth", At(1)).first, 1);
}

TEST(KwBasicAuthTest, RemembersGoodCredentialsAndSharesOrRefusesWhatWaits) {
    const std::string hash = CheapHash("secret");
    ASSERT_EQ(hash.size(), 60u);
    KwBasicAuth auth;
    Turns turns;
    int queued = 0;
    auto count = [&queued] { ++queued; };
    // The first check holds the thread; meanwhile the same credentials
    // from that client share it, other ones are refused at once.
    ASSERT_TRUE(auth.Check("10.0.0.1", "prom", "wrong", &hash, count, turns.Done("blocker")));
    ASSERT_TRUE(turns.WaitFor(1));
    EXPECT_TRUE(auth.Check("10.0.0.2", "prom", "secret", &hash, count, turns.Done("right")));
    EXPECT_TRUE(auth.Check("10.0.0.2", "prom", "secret", &hash, count, turns.Done("again")));
    EXPECT_FALSE(auth.Check("10.0.0.2", "prom", "other", &hash, count, turns.Done("other")));
    EXPECT_TRUE(auth.Check("10.0.0.3", "nobody", "secret", nullptr, count, turns.Done("nobody")));
    EXPECT_EQ(queued, 4);
    turns.Open();
    ASSERT_TRUE(turns.WaitFor(4));
    // 10.0.0.3 asked once, 10.0.0.2 three times: it goes first.
    EXPECT_EQ(turns.Order(), (std::vector<std::string>{"blocker-", "nobody-", "right+", "again+"}));
    // An unknown user costs bcrypt all the same; the right password, once
    // passed, never again.
    EXPECT_EQ(auth.BcryptRuns(), 3u);
    EXPECT_TRUE(auth.Remembered("prom", "secret", hash));
    EXPECT_FALSE(auth.Remembered("prom", "secret\n", hash));
    EXPECT_FALSE(auth.Remembered("prom", "secret", CheapHash("secret")));  // another hash
    // A hash with more after it, or none bcrypt can use, never matches.
    for (const std::string& bad : {hash + "x", std::string("*0"), std::string("$2b$99$x")}) {
        Turns answer;
        answer.Open();
        ASSERT_TRUE(auth.Check("10.0.0.5", "prom", "secret", &bad, count, answer.Done("bad")));
        ASSERT_TRUE(answer.WaitFor(1));
        EXPECT_EQ(answer.Order(), std::vector<std::string>{"bad-"}) << bad;
    }
    EXPECT_EQ(queued, 7);
    // Stopped: a check is answered false at once, after `queued`.
    auth.Stop();
    bool answered = true;
    EXPECT_TRUE(auth.Check("10.0.0.4", "prom", "secret", &hash, count,
                           [&answered](bool granted) { answered = granted; }));
    EXPECT_FALSE(answered);
    EXPECT_EQ(queued, 8);
}

// What waits is bounded: requests sharing one check, checks waiting, and
// credentials remembered (the set starts afresh when full).
TEST(KwBasicAuthTest, SoManyShareACheckSoManyWaitAndSoManyAreRemembered) {
    const std::string hash = CheapHash("secret"), rehashed = CheapHash("secret");
    KwBasicAuth auth;
    Turns turns;
    size_t queued = 0;
    auto count = [&queued] { ++queued; };
    auto ignore = [](bool) {};
    ASSERT_TRUE(auth.Check("10.0.0.1", "prom", "wrong", &hash, count, turns.Done("blocker")));
    ASSERT_TRUE(turns.WaitFor(1));
    for (size_t n = 0; n < KwBasicAuth::kSharing; ++n) {
        EXPECT_TRUE(auth.Check("10.0.0.2", "prom", "secret", &hash, count, turns.Done("s"))) << n;
    }
    EXPECT_FALSE(auth.Check("10.0.0.2", "prom", "secret", &hash, count, ignore));
    EXPECT_FALSE(auth.Check("10.0.0.2", "Prom", "secret", &hash, count, ignore));
    EXPECT_FALSE(auth.Check("10.0.0.2", "prom", "secret", &rehashed, count, ignore));
    EXPECT_FALSE(auth.Check("10.0.0.2", "prom", "secret", nullptr, count, ignore));
    EXPECT_TRUE(auth.Check("10.0.0.3", "nobody", "x", nullptr, count, turns.Done("n")));
    EXPECT_TRUE(auth.Check("10.0.0.3", "nobody", "x", nullptr, count, turns.Done("n")));
    for (size_t n = 2; n < KwBasicAuth::kWaiting; ++n) {
        EXPECT_TRUE(
            auth.Check("10.1.0." + std::to_string(n), "prom", "x", &hash, count, turns.Done("w")));
    }
    EXPECT_FALSE(auth.Check("10.2.0.1", "prom", "x", &hash, count, ignore));
    const size_t answers = 1 + KwBasicAuth::kSharing + 2 + (KwBasicAuth::kWaiting - 2);
    EXPECT_EQ(queued, answers);
    turns.Open();
    ASSERT_TRUE(turns.WaitFor(answers));
    EXPECT_EQ(auth.BcryptRuns(), 1 + 1 + 1 + (KwBasicAuth::kWaiting - 2));
    // With prom's, the set is full after u254: u255 starts it afresh.
    for (size_t n = 0; n <= KwBasicAuth::kRemembered; ++n) {
        Turns one;
        one.Open();
        ASSERT_TRUE(
            auth.Check("10.3.0.1", "u" + std::to_string(n), "secret", &hash, count, one.Done("u")));
        ASSERT_TRUE(one.WaitFor(1));
        ASSERT_EQ(one.Order(), std::vector<std::string>{"u+"});
    }
    const auto remembered = [&auth, &hash](const std::string& user) {
        return auth.Remembered(user, "secret", hash);
    };
    EXPECT_FALSE(remembered("prom"));
    EXPECT_FALSE(remembered("u0"));
    EXPECT_FALSE(remembered("u" + std::to_string(KwBasicAuth::kRemembered - 2)));
    EXPECT_TRUE(remembered("u" + std::to_string(KwBasicAuth::kRemembered - 1)));
    EXPECT_TRUE(remembered("u" + std::to_string(KwBasicAuth::kRemembered)));
}

TEST(KwBasicAuthTest, AQuietClientGoesBeforeAFloodAndFloodsTakeTurns) {
    const std::string hash = CheapHash("secret");
    KwBasicAuth auth;
    Turns turns;
    auto nothing = [] {};
    ASSERT_TRUE(auth.Check("blocker", "prom", "x", &hash, nothing, turns.Done("blocker")));
    ASSERT_TRUE(turns.WaitFor(1));
    // Two flooding clients, each with a check waiting and a hundred refused
    // asks; then one that asks once.
    ASSERT_TRUE(auth.Check("flood-1", "prom", "a", &hash, nothing, turns.Done("flood-1")));
    ASSERT_TRUE(auth.Check("flood-2", "prom", "b", &hash, nothing, turns.Done("flood-2")));
    for (int i = 0; i < 100; ++i) {
        EXPECT_FALSE(auth.Check("flood-1", "prom", "c", &hash, nothing, turns.Done("refused")));
        EXPECT_FALSE(auth.Check("flood-2", "prom", "c", &hash, nothing, turns.Done("refused")));
    }
    ASSERT_TRUE(auth.Check("scraper", "prom", "secret", &hash, nothing, turns.Done("scraper")));
    turns.Open();
    ASSERT_TRUE(turns.WaitFor(4));
    EXPECT_EQ(turns.Order(),
              (std::vector<std::string>{"blocker-", "scraper+", "flood-1-", "flood-2-"}));
}

// Wrong passwords pour in from 8 addresses, three connections each (while
// one waits for its address's check, the others are refused at once); the
// right one from a ninth passes at its first request, on a server just
// started.
TEST(KwBasicAuthTest, TheRightPasswordPassesAtOnceDuringAFlood) {
    // A cheap hash: the turns, not bcrypt's cost, are under test (and an
    // emulator runs it too).
    ScratchFolder scratch;
    const std::string file = scratch.Path() + "web-config-flood.yml";
    std::ofstream(file) << "basic_auth_users:\n  prom: " + CheapHash("scrape-secret") + "\n";
    std::unique_ptr<KwStatsHttpServer> server = Serve(WithConfig(file));
    ASSERT_NE(server, nullptr);
    const int port = server->Port();
    std::atomic<bool> done{false};
    std::atomic<unsigned long> refused{0};
    auto flood = [&](std::string from) {
        // A new wrong password each time, pipelined four at a time.
        unsigned long tries = 0;
        auto request = [&tries] {
            return "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                   Base64("prom:wrong-" + std::to_string(++tries)) + "\r\n\r\n";
        };
        while (!done.load()) {
            int fd = Connect(port, from.c_str());
            if (fd < 0) {
                continue;  // refused as it came: again
            }
            for (std::string batch; !done.load();) {
                batch = request() + request() + request() + request();
                if (send(fd, batch.data(), batch.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(batch.size())) {
                    break;
                }
                const size_t answered = Answers(ReadAnswers(fd, 4)).size();
                refused += answered;
                if (answered < 4) {
                    break;
                }
            }
            close(fd);
        }
    };
    std::vector<std::thread> flooders;
    for (int n = 0; n < 24; ++n) {
        flooders.emplace_back(flood, "127.0.0.2" + std::to_string(2 + n % 8));
    }
    EXPECT_TRUE(WaitUntil([&] { return refused.load() >= 1000; }));
    // Its half of the connection stays open: libmicrohttpd (0.9.75) closes a
    // connection whose end it reads while the answer waits, as this one
    // waits for bcrypt.
    Response first = Exchange(port,
                              "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                              "Authorization: Basic " +
                                  Base64("prom:scrape-secret") + "\r\n\r\n",
                              "127.0.0.30", false);
    done.store(true);
    server.reset();  // every flooder reads the end of its connection
    for (std::thread& flooder : flooders) {
        flooder.join();
    }
    EXPECT_EQ(first.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(first.body.compare(0, 6, "# HELP"), 0);
}
