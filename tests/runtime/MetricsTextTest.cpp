// The metrics text a Prometheus server scrapes: every line must parse, every
// family be announced once before its samples, label values escaped, and the
// commit histogram cumulative with +Inf equal to the count.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/Metrics.h"

namespace quorvex {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The value of the sample written exactly as `series` (name and labels).
std::string ValueOf(const std::string& text, const std::string& series) {
  for (const std::string& line : Lines(text))
    if (line.rfind(series + " ", 0) == 0) return line.substr(series.size() + 1);
  return "<absent>";
}

MetricsSnapshot Sample() {
  MetricsSnapshot s;
  s.uplinks = 12;
  s.joins = 3;
  s.micFailures = 2;
  s.duplicates = 5;
  s.framesDropped = 9;
  s.frameQueue = 11;
  s.refused[static_cast<size_t>(Refusal::kMic)] = 2;
  s.refused[static_cast<size_t>(Refusal::kCounterBehind)] = 7;
  s.downlinksSent = 4;
  s.downlinksFailed[static_cast<size_t>(DownlinkFailure::kGateway)] = 1;
  s.posts = {10, 1, 2};
  s.forwardingQueue = 6;
  s.schedulerQueue = 8;
  s.gateways = {{"AA555A0000000001", 1765432100123}, {"odd \"id\"\\\nx", 1000}};
  CLatencyHistogram commits;
  for (uint64_t us : {50, 100, 101, 3000, 3000, 9000000}) commits.Add(us);
  s.commits = commits.Read();
  s.commitFailures = 1;
  return s;
}

TEST(MetricsTextTest, EverySampleHasTheValueOfItsCounter) {
  const std::string text = FormatMetrics(Sample());
  const struct {
    const char* series;
    const char* value;
  } cases[] = {
      {"quorvex_uplinks_total", "12"},
      {"quorvex_joins_total", "3"},
      {"quorvex_mic_failures_total", "2"},
      {"quorvex_duplicates_total", "5"},
      {"quorvex_frames_dropped_total", "9"},
      {"quorvex_frame_queue_depth", "11"},
      {"quorvex_frames_refused_total{reason=\"mic\"}", "2"},
      {"quorvex_frames_refused_total{reason=\"counter_behind\"}", "7"},
      {"quorvex_frames_refused_total{reason=\"gateway_inactive\"}", "0"},  // present at zero
      {"quorvex_downlinks_sent_total", "4"},
      {"quorvex_downlinks_failed_total{where=\"gateway\"}", "1"},
      {"quorvex_downlinks_failed_total{where=\"server\"}", "0"},
      {"quorvex_posts_total{result=\"succeeded\"}", "10"},
      {"quorvex_posts_total{result=\"failed\"}", "1"},
      {"quorvex_posts_total{result=\"dropped\"}", "2"},
      {"quorvex_forwarding_queue_depth", "6"},
      {"quorvex_scheduler_queue_depth", "8"},
      {"quorvex_gateways_connected", "2"},
      {"quorvex_gateway_last_seen_timestamp_seconds{gateway=\"AA555A0000000001\"}", "1765432100.123"},
      {"quorvex_gateway_last_seen_timestamp_seconds{gateway=\"odd \\\"id\\\"\\\\\\nx\"}", "1.000"},
      {"quorvex_db_commit_duration_seconds_bucket{le=\"0.0001\"}", "2"},  // 50 and 100 us: a bound is inclusive
      {"quorvex_db_commit_duration_seconds_bucket{le=\"0.00025\"}", "3"},
      {"quorvex_db_commit_duration_seconds_bucket{le=\"0.0025\"}", "3"},
      {"quorvex_db_commit_duration_seconds_bucket{le=\"0.005\"}", "5"},
      {"quorvex_db_commit_duration_seconds_bucket{le=\"5\"}", "5"},  // 9 s is above every bound
      {"quorvex_db_commit_duration_seconds_bucket{le=\"+Inf\"}", "6"},
      {"quorvex_db_commit_duration_seconds_count", "6"},
      {"quorvex_db_commit_duration_seconds_sum", "9.006251"},
      {"quorvex_db_commit_failures_total", "1"},
  };
  for (const auto& c : cases) EXPECT_EQ(ValueOf(text, c.series), c.value) << c.series;
}

// What a scraper's parser demands of the text format.
TEST(MetricsTextTest, TheTextIsWellFormed) {
  const std::string text = FormatMetrics(Sample());
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::regex help(R"(# HELP ([a-z_]+) \S.*)");
  const std::regex type(R"(# TYPE ([a-z_]+) (counter|gauge|histogram))");
  const std::regex sample(R"(([a-z_]+)(\{[a-z]+="(?:[^"\\]|\\.)*"\})? [0-9.]+)");
  std::set<std::string> announced;
  std::string current;
  for (const std::string& line : Lines(text)) {
    std::smatch m;
    if (std::regex_match(line, m, help)) {
      EXPECT_TRUE(announced.insert(m[1]).second) << "announced twice: " << line;
      current = m[1];
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], current) << line;
    } else {
      ASSERT_TRUE(std::regex_match(line, m, sample)) << "not a sample: " << line;
      const std::string name = m[1];
      // A histogram's samples carry the family name with a suffix.
      EXPECT_EQ(name.rfind(current, 0), 0u) << line << " under " << current;
    }
  }
}

TEST(MetricsTextTest, LabelValuesAreEscaped) {
  const struct {
    const char* raw;
    const char* quoted;
  } cases[] = {
      {"", R"("")"},
      {"AA555A0000000001", R"("AA555A0000000001")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"a\nb", R"("a\nb")"},
      {"\\\"\n", R"("\\\"\n")"},
  };
  for (const auto& c : cases) EXPECT_EQ(QuotedLabel(c.raw), c.quoted) << c.raw;
}

}  // namespace
}  // namespace quorvex
