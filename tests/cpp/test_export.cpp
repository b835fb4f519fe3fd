#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>

#include "export/driver.h"
#include "test_support.h"

namespace tavroacq {
namespace {

using testing::Bytes;
using testing::TempDir;
using testing::write_chunk;
using testing::write_file;
namespace fs = std::filesystem;

// A telkv3 packet with the default settings: three header words, windows of (header, samples)
// assigned round-robin to the channels in ascending order, one trailing word.
struct Window {
  std::uint16_t channel;
  std::uint16_t label;
  std::vector<std::uint16_t> samples;
};

Bytes telkv3_packet(const std::vector<Window>& windows) {
  std::vector<std::uint16_t> words{0, 0, 0};
  for (const Window& w : windows) {
    words.push_back(static_cast<std::uint16_t>(w.channel << 9 | w.label << 1));
    for (auto s : w.samples) words.push_back(static_cast<std::uint16_t>(s << 1));
  }
  words.push_back(0);
  Bytes out;
  for (auto w : words) {
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w));
  }
  return out;
}

std::string metadata_text(const std::string& model, int channels = 4, int windows = 8, int samples = 2) {
  return "params:\n  model: " + model + "\n  channels: " + std::to_string(channels) +
         "\n  windows: " + std::to_string(windows) + "\n  samples: " + std::to_string(samples) + "\nregisters:\n";
}

// Event i has one window of channel 0 labelled i % 8 with samples i % 4096 and i / 4096.
Bytes numbered_event(std::uint32_t i) {
  return telkv3_packet({{0, static_cast<std::uint16_t>(i % 8),
                         {static_cast<std::uint16_t>(i % 4096), static_cast<std::uint16_t>(i / 4096)}}});
}

// An acquisition named run12 under `root` whose chunks hold `sizes` numbered events each.
fs::path make_run12(const fs::path& root, const std::vector<std::uint32_t>& sizes, const std::string& model = "telkv3") {
  const fs::path dir = root / "run12";
  fs::create_directories(dir);
  write_file(dir / "metadata.yml", metadata_text(model));
  std::uint32_t next = 0;
  for (unsigned n = 0; n < sizes.size(); ++n) {
    std::vector<Bytes> events;
    for (std::uint32_t j = 0; j < sizes[n]; ++j) events.push_back(numbered_event(next++));
    write_chunk(dir, n, events);
  }
  return dir;
}

Acquisition open_ok(const fs::path& p) {
  auto acq = Acquisition::open(p);
  if (!acq) throw std::runtime_error("not an acquisition: " + p.string());
  return *acq;
}

std::expected<void, ExportError> run_export(const fs::path& acq_dir, const std::vector<std::uint64_t>& indices,
                                            const fs::path& out, std::optional<Pedestals> pedestals = std::nullopt) {
  Acquisition acq = open_ok(acq_dir);
  auto metadata = acq.metadata();
  Params params = metadata ? metadata->params : Params{};
  return export_csv_from_acq(acq, indices, Corrections(std::move(params)).pedestals(std::move(pedestals)), out, 1000);
}

std::vector<std::string> lines_of(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string rows_of_event(std::uint64_t position, std::uint32_t i) {
  const std::string pre = "0," + std::to_string(position) + "," + std::to_string(i % 8) + ",";
  return pre + std::to_string(i % 4096) + ",0\n" + pre + std::to_string(i / 4096) + ",1\n";
}

const char* HEADER = "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0";

TEST(ExportDriver, SplitsIntoFilesOfAThousand) {
  TempDir tmp;
  // 2500 events over chunks of 1200, 0 and 1300 events.
  const fs::path acq = make_run12(tmp.path(), {1200, 0, 1300});
  const fs::path out = tmp.path() / "out";
  fs::create_directory(out);
  std::vector<std::uint64_t> indices(2500);
  for (std::uint64_t i = 0; i < indices.size(); ++i) indices[i] = i;
  ASSERT_TRUE(run_export(acq, indices, out).has_value());
  EXPECT_EQ(names_in(out), (std::set<std::string>{"run12 (chunk 0).csv", "run12 (chunk 1).csv", "run12 (chunk 2).csv"}));
  for (std::uint32_t k = 0; k < 3; ++k) {
    std::string want = std::string(HEADER) + "\n";
    for (std::uint32_t e = 0; e < (k < 2 ? 1000u : 500u); ++e) want += rows_of_event(e, 1000 * k + e);
    std::ifstream in(out / ("run12 (chunk " + std::to_string(k) + ").csv"));
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), want) << "chunk " << k;
  }
}

TEST(ExportDriver, ChoiceOfEvents) {
  struct Case {
    const char* name;
    std::vector<std::uint64_t> indices;
    std::vector<std::string> files;  // content of chunk 0, 1, ...
  };
  std::string with_1000 = std::string(HEADER) + "\n";
  for (std::uint32_t e = 0; e < 1000; ++e) with_1000 += rows_of_event(e, 0);
  const std::string header = std::string(HEADER) + "\n";
  const std::string header_only = "acq_num,evt_num\n";
  const Case cases[] = {
      {"repeated and out of order", {5, 5, 3},
       {header + rows_of_event(0, 5) + rows_of_event(1, 5) + rows_of_event(2, 3)}},
      {"all beyond the end (chunk 3 lies beyond a missing chunk 2)", {30, 31, 40}, {header_only}},
      {"1001 entries", std::vector<std::uint64_t>(1001, 0), {with_1000, header + rows_of_event(0, 0)}},
      {"1001 entries, the last beyond the end", [] {
         std::vector<std::uint64_t> v(1001, 0);
         v.back() = 99;
         return v;
       }(),
       {with_1000, header_only}},
      {"skipped events move the next ones up", {7, 99, 12, 8}, {header + rows_of_event(0, 7) + rows_of_event(1, 12)}},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    const fs::path acq = make_run12(tmp.path(), {10, 10});
    // Chunk 3 exists but chunk 2 does not: its events are unreachable.
    write_chunk(acq, 3, {numbered_event(30), numbered_event(31)});
    // Event 8 does not parse (odd length); event 12 is read from the second chunk.
    write_chunk(acq, 0, [] {
      std::vector<Bytes> ev;
      for (std::uint32_t i = 0; i < 10; ++i) ev.push_back(i == 8 ? Bytes{1, 2, 3} : numbered_event(i));
      return ev;
    }());
    const fs::path out = tmp.path() / "out";
    fs::create_directory(out);
    ASSERT_TRUE(run_export(acq, c.indices, out).has_value()) << c.name;
    std::set<std::string> want_names;
    for (std::size_t k = 0; k < c.files.size(); ++k) {
      const std::string name = "run12 (chunk " + std::to_string(k) + ").csv";
      want_names.insert(name);
      std::ifstream in(out / name);
      std::stringstream got;
      got << in.rdbuf();
      EXPECT_EQ(got.str(), c.files[k]) << c.name << ", chunk " << k;
    }
    EXPECT_EQ(names_in(out), want_names) << c.name;
  }
}

TEST(ExportDriver, RecordsThatDoNotFitThePedestalsAreLeftOut) {
  TempDir tmp;
  const fs::path acq = make_run12(tmp.path(), {10});
  const fs::path out = tmp.path() / "out";
  fs::create_directory(out);
  // Offsets for windows 0 to 5 of channel 0 only: events 6 and 7 (labels 6 and 7) do not fit.
  Pedestals table;
  table.data = {std::vector<std::vector<float>>(6, {0.5f, 0.25f})};
  ASSERT_TRUE(run_export(acq, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, out, table).has_value());
  std::string want = std::string(HEADER) + "\n";
  std::uint64_t position = 0;
  for (std::uint32_t i : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 9u}) {
    const std::string pre = "0," + std::to_string(position++) + "," + std::to_string(i % 8) + ",";
    // i - 0.5 keeps its half; 0 - 0.25 rounds (half away from zero) to -0.3.
    want += pre + (i == 0 ? "-0.5" : std::to_string(i - 1) + ".5") + ",0\n" + pre + "-0.3,1\n";
  }
  EXPECT_EQ(lines_of(out / "run12 (chunk 0).csv").size(), 17u);
  std::ifstream in(out / "run12 (chunk 0).csv");
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), want);
}

// Runs `body` in a child process without the privileges that would let it write anywhere; its
// exit status is the result.
int in_unprivileged_child(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST(ExportDriver, ErrorsAndTheirOrder) {
  enum class Setup { None, OutMissing, OutIsFile, NameIsDirectory, NameIsFull, SecondNameIsFull };
  struct Case {
    const char* name;
    std::string metadata;
    Setup setup;
    std::vector<std::uint64_t> indices;
    std::optional<ExportError::Kind> error;  // none: success
    const char* message;
    std::set<std::string> files_after;
  };
  const std::string good = metadata_text("telkv3");
  const std::string unsupported = metadata_text("Telkv3");
  const std::string broken = "params: [1, 2\n";
  using K = ExportError::Kind;
  const std::vector<std::uint64_t> one{0};
  const std::vector<std::uint64_t> many(1500, 1);
  const Case cases[] = {
      {"metadata unreadable, no indices", broken, Setup::None, {}, K::Acquisition,
       "error occurred while accessing acquisition", {}},
      {"metadata before the output directory", broken, Setup::OutMissing, one, K::Acquisition,
       "error occurred while accessing acquisition", {}},
      {"unsupported model, no indices", unsupported, Setup::OutMissing, {}, std::nullopt, nullptr, {}},
      {"unsupported model", unsupported, Setup::None, one, K::Parsing, "error occurred while parsing", {}},
      {"model before the output directory", unsupported, Setup::OutMissing, one, K::Parsing,
       "error occurred while parsing", {}},
      {"output directory missing", good, Setup::OutMissing, one, K::InvalidPath, "invalid path", {}},
      {"output directory is a file", good, Setup::OutIsFile, one, K::Unknown, "unknown", {}},
      {"file name taken by a directory", good, Setup::NameIsDirectory, one, K::Unknown, "unknown",
       {"run12 (chunk 0).csv"}},
      {"write failure", good, Setup::NameIsFull, one, K::Csv, "error occurred while exporting as csv",
       {"run12 (chunk 0).csv"}},
      {"write failure in the second file", good, Setup::SecondNameIsFull, many, K::Csv,
       "error occurred while exporting as csv", {"run12 (chunk 0).csv", "run12 (chunk 1).csv"}},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    const fs::path acq = make_run12(tmp.path(), {3});
    write_file(acq / "metadata.yml", c.metadata);
    fs::path out = tmp.path() / "out";
    if (c.setup == Setup::OutIsFile) {
      write_file(out, "x");
    } else if (c.setup != Setup::OutMissing) {
      fs::create_directory(out);
      if (c.setup == Setup::NameIsDirectory) fs::create_directory(out / "run12 (chunk 0).csv");
      if (c.setup == Setup::NameIsFull) fs::create_symlink("/dev/full", out / "run12 (chunk 0).csv");
      if (c.setup == Setup::SecondNameIsFull) fs::create_symlink("/dev/full", out / "run12 (chunk 1).csv");
    }
    auto r = run_export(acq, c.indices, out);
    if (!c.error) {
      EXPECT_TRUE(r.has_value()) << c.name << ": " << r.error().message();
    } else {
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error().kind, *c.error) << c.name;
      EXPECT_EQ(r.error().message(), c.message) << c.name;
    }
    if (fs::is_directory(out)) {
      EXPECT_EQ(names_in(out), c.files_after) << c.name;
    }
    if (c.setup == Setup::OutMissing) {
      EXPECT_FALSE(fs::exists(out)) << c.name;
    }
    if (c.setup == Setup::SecondNameIsFull) {
      EXPECT_EQ(lines_of(out / "run12 (chunk 0).csv").size(), 2001u) << "the first file is complete";
    }
  }
}

TEST(ExportDriver, NamelessAcquisitionFailsBeforeTheModelIsChecked) {
  TempDir tmp;
  const fs::path acq = make_run12(tmp.path(), {3}, "unknown_board");
  fs::create_directory(acq / "sub");
  const fs::path out = tmp.path() / "out";
  fs::create_directory(out);
  try {
    auto r = run_export(acq / "sub" / "..", {0}, out);
    FAIL() << "no internal failure; result " << (r ? "success" : r.error().message());
  } catch (const InternalFailure& e) {
    EXPECT_STREQ(e.what(), "could not get acquisition name");
  }
  EXPECT_TRUE(names_in(out).empty());
}

TEST(ExportDriver, PermissionDenied) {
  TempDir tmp;
  const fs::path acq = make_run12(tmp.path(), {3});
  const fs::path out = tmp.path() / "out";
  fs::create_directory(out);
  fs::permissions(tmp.path(), fs::perms::all, fs::perm_options::add);
  fs::permissions(acq, fs::perms::all, fs::perm_options::add);
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const int kind = in_unprivileged_child([&] {
    auto r = run_export(acq, {0}, out);
    return r ? 0 : 10 + static_cast<int>(r.error().kind);
  });
  EXPECT_EQ(kind, 10 + static_cast<int>(ExportError::Kind::AccessDenied));
  EXPECT_TRUE(names_in(out).empty());
}

TEST(ExportDriver, ChunkFileName) {
  EXPECT_EQ(chunk_file_name("run12", 0), "run12 (chunk 0).csv");
  EXPECT_EQ(chunk_file_name("a b", 17), "a b (chunk 17).csv");
}

}  // namespace
}  // namespace tavroacq
