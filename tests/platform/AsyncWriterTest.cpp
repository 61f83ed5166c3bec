// The writer thread behind stderr and stdout: order and wholeness of texts
// from several threads, Flush, what happens when the reader falls behind,
// and a forked child that writes without a thread.
#include "platform/AsyncWriter.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quorvex {
namespace {

// A pipe whose read end the test drains into a string.
class Pipe {
 public:
  Pipe() {
    EXPECT_EQ(pipe2(m_Fds, O_CLOEXEC), 0);
  }
  ~Pipe() {
    CloseWrite();
    if (m_Fds[0] >= 0) close(m_Fds[0]);
  }
  int WriteEnd() const { return m_Fds[1]; }
  void CloseWrite() {
    if (m_Fds[1] >= 0) close(m_Fds[1]);
    m_Fds[1] = -1;
  }
  // Everything until the write end is closed everywhere.
  std::string ReadAll() {
    std::string text;
    char buffer[65536];
    ssize_t got = 0;
    while ((got = read(m_Fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    return text;
  }

 private:
  int m_Fds[2] = {-1, -1};
};

TEST(AsyncWriterTest, TextsOfSeveralThreadsArriveWholeAndInEachThreadsOrder) {
  Pipe pipe;
  std::string text;
  std::thread reader([&] { text = pipe.ReadAll(); });
  {
    CAsyncWriter writer(pipe.WriteEnd());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&writer, t] {
        for (int i = 0; i < 5000; ++i)
          writer.Write("<" + std::to_string(t) + ":" + std::to_string(i) + std::string(i % 50, '.') + ">\n");
      });
    }
    for (auto& thread : threads) thread.join();
  }  // the destructor writes what is pending
  pipe.CloseWrite();
  reader.join();

  int next[4] = {0, 0, 0, 0};
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(pos, end - pos);
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(line.c_str(), "<%d:%d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < 4);
    EXPECT_EQ(i, next[t]++) << "thread " << t;
    EXPECT_EQ(line, "<" + std::to_string(t) + ":" + std::to_string(i) + std::string(i % 50, '.') + ">");
    pos = end + 1;
  }
  for (int t = 0; t < 4; ++t) EXPECT_EQ(next[t], 5000);
}

TEST(AsyncWriterTest, FlushReturnsOnceTheTextIsInTheFile) {
  char path[] = "/tmp/quorvex-writer-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  {
    CAsyncWriter writer(fd);
    off_t expected = 0;
    for (int round = 0; round < 20; ++round) {
      const std::string line = "line " + std::to_string(round) + "\n";
      writer.Write(line);
      expected += static_cast<off_t>(line.size());
      writer.Flush();
      EXPECT_EQ(lseek(fd, 0, SEEK_CUR), expected) << round;
    }
  }
  close(fd);
  unlink(path);
}

// A reader that stops reading: the writer keeps accepting without waiting,
// drops what goes beyond its limit, and says so once the reader is back.
TEST(AsyncWriterTest, AStalledReaderCostsDroppedTextNotAWait) {
  Pipe pipe;
  auto writer = std::make_unique<CAsyncWriter>(pipe.WriteEnd());
  const std::string chunk(64 * 1024, 'x');
  // The thread holds at most one limit's worth in its write and the queue
  // another: beyond two, text must be dropped.
  const size_t chunks = 2 * CAsyncWriter::kMaxPending / chunk.size() + 16;
  for (size_t i = 0; i < chunks; ++i) writer->Write(chunk);  // returns although nobody reads
  EXPECT_GE(writer->Dropped(), 15 * chunk.size());

  std::string text;
  std::thread reader([&] { text = pipe.ReadAll(); });
  writer->Flush();  // caught up: there is room again
  writer->Write("after\n");
  writer->Flush();
  writer.reset();
  pipe.CloseWrite();
  reader.join();
  EXPECT_EQ(text.find_first_not_of('x'), text.find("... "));  // only whole chunks before the note
  EXPECT_NE(text.find(" bytes of output lost"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 6), "after\n");
}

TEST(AsyncWriterTest, AForkedChildWritesWithoutTheThread) {
  Pipe pipe;
  auto writer = std::make_unique<CAsyncWriter>(pipe.WriteEnd());
  writer->Write("parent\n");
  writer->Flush();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    writer->Write("child\n");  // no thread here: written at once
    writer->Flush();            // and nothing to wait for
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  writer.reset();
  pipe.CloseWrite();
  EXPECT_EQ(pipe.ReadAll(), "parent\nchild\n");
}

}  // namespace
}  // namespace quorvex
