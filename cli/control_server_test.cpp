#include "cli/control_server.h"

#include <atomic>
#include <fstream>
#include <future>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "cli/control_client.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

// A server on its own thread whose handler answers "echo" at once with the
// request's "n", "later" after 100 ms, and counts what it was asked.
class ControlServerTest : public ::testing::Test {
 protected:
  void start(ControlServer::Options options = {}) {
    path_ = (dir_.path() / "agent.sock").string();
    std::promise<std::string> started;
    thread_ = std::thread([&, options] {
      auto server = ControlServer::listen(
          io_, path_,
          [this](const Control::Request& r, ControlServer::Reply reply) {
            handle(r, std::move(reply));
          },
          [this](const std::string& text) { notices_.fetch_add(text.empty() ? 0 : 1); }, options);
      started.set_value(server ? "" : server.error());
      if (!server) return;
      server_ = std::move(server.value());
      auto work = asio::make_work_guard(io_);
      io_.run();
    });
    ASSERT_EQ(started.get_future().get(), "");
  }

  void handle(const Control::Request& request, ControlServer::Reply reply) {
    ++handled_;
    const auto n = request.body.value("n", 0);
    if (request.op == "later") {
      auto timer = std::make_shared<asio::steady_timer>(io_, 100ms);
      timer->async_wait([timer, reply, n](std::error_code) {
        reply(Control::okReply({{"n", n}}));
      });
      return;
    }
    reply(Control::okReply({{"n", n}}));
    reply(Control::okReply({{"n", -1}}));  // A second reply to one request is dropped.
  }

  void TearDown() override {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
  }

  ControlClient client() {
    auto c = ControlClient::connect(path_);
    if (!c) throw std::runtime_error("cannot connect");
    return std::move(*c);
  }

  TempDir dir_;
  std::string path_;
  asio::io_context io_;
  std::unique_ptr<ControlServer> server_;
  std::thread thread_;
  std::atomic<int> handled_{0};
  std::atomic<int> notices_{0};
};

nlohmann::json parsed(const Result<std::string, std::string>& line) {
  return line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json(line.error());
}

TEST_F(ControlServerTest, AnswersEveryLineInOrderAndKeepsTheConnectionAfterBadOnes) {
  start();
  auto c = client();
  // Requests sent together, good and bad, come back one reply each, in order;
  // a request that waits holds back the ones behind it.
  ASSERT_TRUE(
      c.sendRaw("{\"op\":\"later\",\"n\":1}\nnot json\n[]\n{\"n\":2}\n"
                "{\"op\":\"echo\",\"n\":3}\n"));
  EXPECT_EQ(parsed(c.readLine(5s)), (nlohmann::json{{"ok", true}, {"n", 1}}));
  EXPECT_EQ(parsed(c.readLine(5s)), Control::errorReply("not JSON"));
  EXPECT_EQ(parsed(c.readLine(5s)), Control::errorReply("not a JSON object"));
  EXPECT_EQ(parsed(c.readLine(5s)), Control::errorReply("no \"op\" text"));
  EXPECT_EQ(parsed(c.readLine(5s)), (nlohmann::json{{"ok", true}, {"n", 3}}));
  // The second reply the handler gave to "echo" never reached the client.
  EXPECT_FALSE(c.readLine(200ms));
  EXPECT_EQ(handled_, 2);
}

TEST_F(ControlServerTest, AMegabyteLineIsRefusedAndTheNextRequestAnswered) {
  start();
  auto c = client();
  ASSERT_TRUE(c.sendRaw(std::string(1 << 20, '{') + "\n{\"op\":\"echo\",\"n\":7}\n"));
  const auto refused = parsed(c.readLine(5s));
  EXPECT_EQ(refused.value("ok", true), false);
  EXPECT_TRUE(refused.value("error", "").starts_with("request too long")) << refused;
  EXPECT_EQ(parsed(c.readLine(5s)), (nlohmann::json{{"ok", true}, {"n", 7}}));
  EXPECT_EQ(handled_, 1);
}

TEST_F(ControlServerTest, ClientsThatLeaveMidRequestDoNotDisturbOthers) {
  start();
  {
    auto gone = client();
    ASSERT_TRUE(gone.sendRaw("{\"op\":\"later\"}\n"));
    auto cut = client();
    ASSERT_TRUE(cut.sendRaw("{\"op\":\"echo\""));  // half a line, then gone
  }
  std::this_thread::sleep_for(200ms);  // the reply to the client that left is due
  auto c = client();
  const auto reply = c.request({{"op", "echo"}, {"n", 5}}, 5s);
  ASSERT_TRUE(reply) << reply.error();
  EXPECT_EQ(*reply, (nlohmann::json{{"ok", true}, {"n", 5}}));
}

TEST_F(ControlServerTest, ManyClientsAtOnceUpToTheLimit) {
  start({.maxClients = 8});
  std::vector<ControlClient> clients;
  for (int i = 0; i < 8; ++i) clients.push_back(client());
  for (int i = 0; i < 8; ++i)
    ASSERT_TRUE(clients[i].sendRaw(Control::line({{"op", "later"}, {"n", i}})));
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(parsed(clients[i].readLine(5s)), (nlohmann::json{{"ok", true}, {"n", i}}));
  // One more is told so and let go; one that comes after a client left is served.
  auto extra = client();
  EXPECT_EQ(parsed(extra.readLine(5s)).value("error", ""), "busy: too many connections, try again");
  clients.pop_back();
  std::this_thread::sleep_for(100ms);
  const auto reply = client().request({{"op", "echo"}, {"n", 9}}, 5s);
  EXPECT_TRUE(reply) << reply.error();
  EXPECT_GE(notices_, 1);
}

TEST_F(ControlServerTest, AnIdleConnectionIsClosedButNotOneWaitingForItsReply) {
  start({.idleTimeout = 50ms});
  auto waiting = client();
  ASSERT_TRUE(waiting.sendRaw("{\"op\":\"later\",\"n\":4}\n"));
  auto idle = client();
  EXPECT_EQ(parsed(waiting.readLine(5s)), (nlohmann::json{{"ok", true}, {"n", 4}}));
  const auto line = idle.readLine(5s);
  ASSERT_FALSE(line);
  EXPECT_EQ(line.error(), "the agent closed the connection");
}

TEST_F(ControlServerTest, TheSocketIsTheUsersAlone) {
  start();
  struct stat info {};
  ASSERT_EQ(::lstat(path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // A second server for the same path finds the first one answering.
  asio::io_context other;
  const auto second = ControlServer::listen(other, path_, {}, {}, {});
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), "another agent answers at " + path_);
}

TEST(ControlServerListen, ReplacesAStaleSocketButNothingElse) {
  TempDir dir;
  asio::io_context io;
  const std::string path = (dir.path() / "agent.sock").string();
  {
    auto first = ControlServer::listen(io, path, {}, {}, {});
    ASSERT_TRUE(first) << first.error();
    // A socket left behind by an agent that was killed.
    ASSERT_EQ(::link(path.c_str(), (dir.path() / "left.sock").c_str()), 0);
  }
  ASSERT_EQ(::rename((dir.path() / "left.sock").c_str(), path.c_str()), 0);
  auto again = ControlServer::listen(io, path, {}, {}, {});
  EXPECT_TRUE(again) << again.error();
  again.value().reset();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);  // Removed when the server goes.

  const std::string file = (dir.path() / "notes").string();
  { std::ofstream(file) << "mine"; }
  const auto refused = ControlServer::listen(io, file, {}, {}, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), file + " is in the way and is not a socket of this user");
  EXPECT_EQ(::access(file.c_str(), F_OK), 0);
}

// Connects as `uid` in a child process and returns the reply line it read
// (through a pipe), or what failed.
std::string replyAs(uid_t uid, const std::string& path) {
  int pipes[2];
  if (::pipe(pipes) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipes[0]);
    if (::setgid(65534) != 0 || ::setuid(uid) != 0) ::_exit(2);
    auto c = ControlClient::connect(path);
    if (!c) ::_exit(3);
    const auto reply = c->request({{"op", "echo"}}, 5s);
    const std::string text = reply ? reply->dump() : "error: " + reply.error();
    (void)!::write(pipes[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipes[1]);
  std::string out;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipes[0], buffer, sizeof buffer)) > 0;) out.append(buffer, size_t(n));
  ::close(pipes[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "child failed " + std::to_string(WEXITSTATUS(status));
  return out;
}

TEST_F(ControlServerTest, APeerOfAnotherUserIsRefusedEvenWhenItGetsIn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  start();
  // The socket's mode already keeps others out; opened up, the peer check still does.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0666), 0);
  const std::string text = replyAs(65534, path_);
  const auto reply = nlohmann::json::parse(text, nullptr, false);
  SCOPED_TRACE(text);
  EXPECT_EQ(reply, Control::errorReply("refused: this agent answers its own user only"));
  EXPECT_EQ(handled_, 0);
  EXPECT_GE(notices_, 1);
}

}  // namespace
}  // namespace kelvane
