// The HDF5 output fed by the merge: its columns hold the binary output's records in time order
// (records of one time in the merge's order), across chunk boundaries and through the filters
// (which ones each compression takes: python/tests/test_ravik.py); the detector table counts and
// names them; a write failure is reported with the file's name.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codec_stamps.h"
#include "core_merge.h"
#include "hdf5_filters.h"
#include "merge/bitshuffle.h"
#include "merge/hdf5output.h"
#include "merge/mergecore.h"

namespace {

// Merges streams of the given sizes into `sink` and, when `binary` is given, into it too; until
// `*stop` is cleared, when given.
int64_t merge(const std::vector<int32_t>& sizes, RecordSink* sink, FILE* binary,
              std::atomic<bool>* stop = nullptr) {
  std::vector<MergeSource> sources;
  for (size_t i = 0; i < sizes.size(); ++i)
    sources.push_back({tdc56Init(), int32_t(i), 0x1FF, streamFile(gridStamps(sizes[i], uint32_t(7 + i), 40, 50))});
  MergeOutputs outputs;
  outputs.binary = binary;
  outputs.records = sink;
  // A header would land in the binary file only; with the sink alone it must not be called.
  outputs.header = [binary](FILE* f, bool) { EXPECT_EQ(f, binary); };
  std::atomic<int64_t> bytes{0};
  std::atomic<bool> running{true};
  const int64_t n = mergeStreams(sources.data(), int32_t(sources.size()), outputs, bytes,
                                 stop != nullptr ? *stop : running);
  closeSources(sources);
  return n;
}

using Records = std::vector<std::pair<int64_t, int16_t>>;

Records inTimeOrder(Records records) {
  std::stable_sort(records.begin(), records.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return records;
}

// What an HDF5 output holds: its two columns as records, the detector table's counts by id, its
// flag of time order and its duration; and the output's count of records that came too late.
struct Written {
  Records columns;
  std::map<int16_t, int64_t> counts;
  int64_t sorted;
  double duration;
  int64_t outOfOrder = 0;
};

Written readOutput(const std::string& path) {
  const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  EXPECT_GE(file, 0);
  const auto read64 = [file](const char* p) { return readData<int64_t>(file, p, H5T_NATIVE_INT64); };
  const auto read16 = [file](const char* p) { return readData<int16_t>(file, p, H5T_NATIVE_INT16); };
  const auto times = read64("/photon_data/timestamps");
  const auto channels = read16("/photon_data/detectors");
  const auto ids = read16("/setup/detectors/id");
  const auto counts = read64("/setup/detectors/counts");
  Written w{{}, {}, read64("/user/ravik/sorted")[0],
            readData<double>(file, "/acquisition_duration", H5T_NATIVE_DOUBLE)[0], 0};
  H5Fclose(file);
  EXPECT_TRUE(times.size() == channels.size() && ids.size() == counts.size());
  for (size_t i = 0; i < times.size() && i < channels.size(); ++i)
    w.columns.push_back({times[i], channels[i]});
  for (size_t i = 0; i < ids.size() && i < counts.size(); ++i) w.counts[ids[i]] = counts[i];
  return w;
}

std::map<int16_t, int64_t> countsOf(const Records& records) {
  std::map<int16_t, int64_t> counts;
  for (const auto& r : records) ++counts[r.second];
  return counts;
}

// An output that stops the merge after the first columns it takes, when `stop`.
struct StoppingOutput : Hdf5Output {
  bool stop = false;
  std::atomic<bool> running{true};
  void putColumns(const int64_t* times, const int16_t* channels, size_t count,
                  bool ordered) override {
    Hdf5Output::putColumns(times, channels, count, ordered);
    running = !stop;
  }
};

// The columns hold the binary records in time order and the detector table counts them; a merge
// stopped early (its decoding side has counted more records than it merged) hands over no
// counts: the output counts the records it holds, a prefix of the full merge's.
TEST(Hdf5Output, ColumnsAndCountsEqualTheBinaryRecords) {
  const std::string path = "/tmp/ravik-test-" + std::to_string(getpid()) + ".h5";
  // Records per device; compression; with a binary output beside the HDF5 one (else the HDF5
  // one takes columns); the merge stopped after the first columns.
  using C = Hdf5Compression;
  const struct { std::vector<int32_t> sizes; C compress; bool binary, stop = false; } cases[] = {
      {{1200000, 700000, 500000}, C::None, true},  // two chunk boundaries, devices interleaved
      {{300000}, C::Deflate, true},
      {{700000, 400000, 300000}, C::Fast, true},
      {{500000, 300000}, C::Fast, false},
      {{300000, 200000}, C::None, false},
      {{1000, 2000}, C::None, false},
      {{0}, C::None, true},
      {{0}, C::Fast, true},
      {{400000, 300000}, C::None, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.sizes[0]) + " " + compressionWord(c.compress));
    StoppingOutput out;
    out.stop = c.stop;
    std::string error;
    ASSERT_TRUE(out.create(path, "/some/where/run.h5", c.compress, &error)) << error;
    FILE* bin = tmpfile();
    const int64_t n = merge(c.sizes, &out, c.binary ? bin : nullptr, &out.running);
    if (!c.binary) {  // the binary records alone, all of them
      EXPECT_EQ(merge(c.sizes, nullptr, bin), c.stop ? 700000 : n);
    }
    EXPECT_TRUE(!c.stop || (n > 0 && n < 700000)) << n;
    ASSERT_TRUE(out.finish(Hdf5RunInfo(), &error)) << error;

    const Written w = readOutput(path);
    ASSERT_EQ(int64_t(w.columns.size()), n);
    rewind(bin);
    Records records{size_t(n)};
    for (auto& r : records) ASSERT_EQ(fread(&r.first, 8, 1, bin) + fread(&r.second, 2, 1, bin), 2u);
    EXPECT_EQ(fclose(bin), 0);
    // The markers run ahead in the merge's order; the HDF5 file has them in their place.
    EXPECT_TRUE(c.sizes.size() == 1 || records != inTimeOrder(records));
    EXPECT_TRUE(sameTimestamps(w.columns, inTimeOrder(records)));
    EXPECT_EQ(out.outOfOrder(), 0);
    EXPECT_EQ(w.sorted, 1);
    EXPECT_EQ(w.counts, countsOf(w.columns));
    EXPECT_DOUBLE_EQ(w.duration, n ? 1e-12 * double(w.columns.back().first - w.columns.front().first) : 0);
  }
  unlink(path.c_str());
}

// Records as the merge hands them over: as binary records in batches of `batch`, or with
// `columns` as columns in batches of whole chunks, each with its order flag.
struct Batches {
  Batches(const Records& records, size_t batch, bool columns)
      : batch(columns ? size_t(Hdf5Output::kChunkRecords) : batch), columns(columns),
        bytes(10 * records.size()) {
    for (const auto& [time, channel] : records) {
      memcpy(&bytes[10 * times.size()], &time, 8);
      memcpy(&bytes[10 * times.size() + 8], &channel, 2);
      times.push_back(time);
      channels.push_back(channel);
    }
  }
  size_t count() const { return (times.size() + batch - 1) / batch; }
  // Batches `from` to `to` (excluded); the last one of all ends the columns.
  void put(Hdf5Output* out, size_t from, size_t to) const {
    for (size_t i = from * batch; i < std::min(to * batch, times.size()); i += batch) {
      const size_t n = std::min(batch, times.size() - i);
      bool ordered = true;
      for (size_t j = i; j < i + n; ++j) ordered = ordered && (j == 0 || times[j] >= times[j - 1]);
      if (columns) out->putColumns(&times[i], &channels[i], n, ordered);
      else out->putRecords(bytes.data() + 10 * i, n);
    }
    if (columns && to >= count()) out->putColumns(nullptr, nullptr, 0, true);
  }
  size_t batch;
  bool columns;
  std::vector<char> bytes;
  std::vector<int64_t> times;
  std::vector<int16_t> channels;
};

// What the output holds once finished; its detector table must count the records.
Written finished(Hdf5Output* out, const std::string& path, const Records& records) {
  std::string error;
  EXPECT_TRUE(out->finish(Hdf5RunInfo(), &error)) << error;
  Written w = readOutput(path);
  w.outOfOrder = out->outOfOrder();
  EXPECT_EQ(w.counts, countsOf(records));
  return w;
}

// Records straight into an output at `path` (see Batches).
Written writeRecords(const std::string& path, const Records& records, size_t batch, bool columns,
                     Hdf5Compression compress) {
  Hdf5Output out;
  std::string error;
  EXPECT_TRUE(out.create(path, "records.h5", compress, &error)) << error;
  const Batches batches(records, batch, columns);
  if (columns) {
    EXPECT_EQ(out.columns(), batches.batch);
  }
  batches.put(&out, 0, batches.count());
  return finished(&out, path, records);
}

void expectSame(const Written& a, const Written& b) {
  EXPECT_TRUE(a.columns == b.columns);
  EXPECT_EQ(a.counts, b.counts);
  EXPECT_EQ(a.sorted, b.sorted);
  EXPECT_EQ(a.duration, b.duration);
  EXPECT_EQ(a.outOfOrder, b.outOfOrder);
}

// Late records find their place among those kept back; one later than all of them is counted,
// and the file says it is not in time order. Early records, wherever they are in a batch or in
// the output's buffer, end up in their place in time, after those of their time before them.
TEST(Hdf5Output, LateAndEarlyRecordsGoToTheirPlaceOrAreCounted) {
  const std::string path = "/tmp/ravik-test-" + std::to_string(getpid()) + "-late.h5";
  Records ascending;
  const int64_t many = Hdf5Output::kBufferRecords + 5;
  for (int64_t i = 0; i < many; ++i) ascending.push_back({1000 + i, int16_t(i % 3)});
  Records tooLate = ascending;
  tooLate.push_back({5, 7});  // its place was written long ago
  Records markerAhead = ascending;
  markerAhead.insert(markerAhead.begin() + 10, {1000 + many + 50, 104});  // waits for its time
  Records barelyInTime = ascending;
  barelyInTime.push_back({1000 + many - Hdf5Output::kReorderRecords + 1, 9});
  // `count` records, three a time unit (ties in each step), those at `early` 5 time units
  // earlier than their neighbours.
  const auto withEarly = [](int64_t count, const std::vector<int64_t>& early) {
    Records records;
    for (int64_t i = 0; i < count; ++i) records.push_back({1000 + i / 3, int16_t(i % 7)});
    for (int64_t at : early) records[size_t(at)] = {records[size_t(at)].first - 5, int16_t(104 + at % 3)};
    return records;
  };
  const int64_t end = Hdf5Output::kBufferRecords;  // where the first columns are written
  // Three batches of a chunk each, two time units apart; the third's first record belongs
  // just before the second's first.
  const int64_t chunk = Hdf5Output::kChunkRecords;
  Records backByABatch;
  for (int64_t i = 0; i < 3 * chunk; ++i) backByABatch.push_back({1000 + 2 * i, int16_t(i % 5)});
  backByABatch[size_t(2 * chunk)] = {1000 + 2 * chunk - 1, 104};
  std::vector<int64_t> spread;  // through several writes, wherever the buffer then is
  for (int64_t at = 12345; at < 2 * end; at += 99991) spread.push_back(at);
  const struct {
    const char* name;
    Records records;
    size_t batch;
    int64_t outOfOrder;
  } cases[] = {
      {"in order", ascending, 4096, 0},
      {"one too late", tooLate, 100000, 1},
      {"marker ahead", markerAhead, 7, 0},
      {"late by the records kept back", barelyInTime, 1 << 20, 0},
      {"ties keep their order", {{10, 104}, {5, 1}, {10, 2}, {10, -1}, {7, 3}, {11, 4}}, 2, 0},
      {"early at each place of four", withEarly(20000, {101, 202, 303, 404, 505}), 4096, 0},
      {"early first and second of a batch", withEarly(20000, {4096, 8193, 12290, 16387}), 4096, 0},
      {"several early in a row", withEarly(2000, {500, 501, 502, 503, 504, 777}), 1000, 0},
      {"early, one record a batch", withEarly(50, {3, 10, 11}), 1, 0},
      {"early at the end of the buffer", withEarly(end + 1000, {end - 2, end - 1, end, end + 1}),
       100000, 0},
      {"early, a batch larger than the buffer", withEarly(end + 900, {7, end - 1, end + 3}),
       size_t(end + 500), 0},
      {"early through several writes", withEarly(2 * end + 7, spread), 65536, 0},
      {"early, its place in the batch before", withEarly(end + end / 2, {end, end + 1}), 65536, 0},
      {"early, its place at the start of the batch before", backByABatch, size_t(chunk), 0},
  };
  // Records, columns, and columns through either compression's filters (whose chunks, taken
  // back, are written again through the library's own path).
  for (const int mode : {0, 1, 2, 3})
  for (const auto& c : cases) {
    const bool columns = mode > 0;
    const Hdf5Compression compress = mode == 2 ? Hdf5Compression::Deflate
                                     : mode == 3 ? Hdf5Compression::Fast
                                                 : Hdf5Compression::None;
    SCOPED_TRACE(std::string(c.name) + (columns ? ", columns, " : ", ") + compressionWord(compress));
    const Written w = writeRecords(path, c.records, c.batch, columns, compress);
    EXPECT_EQ(w.outOfOrder, c.outOfOrder);
    EXPECT_EQ(w.sorted, c.outOfOrder == 0 ? 1 : 0);
    ASSERT_EQ(w.columns.size(), c.records.size());
    Records expected = inTimeOrder(c.records);
    if (c.outOfOrder != 0) {  // the late record ends up where the records kept back began: after whole chunks
      const auto late = std::find(w.columns.begin(), w.columns.end(), c.records.back());
      const int64_t at = late - w.columns.begin();
      EXPECT_EQ(at % Hdf5Output::kChunkRecords, 0);
      EXPECT_LE(at, many - Hdf5Output::kReorderRecords);
      expected = ascending;
      expected.insert(expected.begin() + at, c.records.back());
    }
    EXPECT_TRUE(sameTimestamps(w.columns, expected));
  }
  unlink(path.c_str());
}

// Records `count` of them, three a time unit, with one a marker 5 units early every 99991
// records; `tooLate`: and one more at the end whose place was written long ago.
Records heldRecords(int64_t count, bool tooLate) {
  Records records;
  for (int64_t i = 0; i < count; ++i)
    records.push_back(i % 99991 == 777 ? std::make_pair(1000 + i / 3 - 5, int16_t(104))
                                       : std::make_pair(1000 + i / 3, int16_t(i % 7)));
  if (tooLate) records.push_back({5, 3});
  return records;
}

// A holdable output at `path` that writes `batches` from batch `at` on: taken up from the file
// `held` and the state `state` of a hold at `at`, or, without `held`, run up to `at` and held
// there with its state at `state`, `onHold` called.
Written goneOnAt(const std::string& path, const std::string& held, const std::string& state,
                 const Records& records, const Batches& batches, size_t at,
                 Hdf5Compression compress, const std::function<void()>& onHold = nullptr) {
  Hdf5Output out;
  std::string error;
  EXPECT_TRUE(out.create(path, "held.h5", compress, &error, true)) << error;
  if (held.empty()) {
    batches.put(&out, 0, at);
    EXPECT_TRUE(out.hold(state, &error)) << error;
    onHold();
  } else {
    EXPECT_TRUE(out.takeUp(held, state, &error)) << error;
  }
  batches.put(&out, at, batches.count());
  return finished(&out, path, records);
}

// A holdable output writes what an ordinary one does. Held between two batches and taken up
// from its file and state as they were then (copies, as a writer killed there leaves them), it
// writes what the writer that went on wrote: at the start, amid the records kept back, with a
// batch of columns that the next one takes back, with a record too late counted, through the
// filters. Also when the writer is killed at any moment after its hold, the file going on.
TEST(Hdf5Output, AHeldOutputTakenUpWritesWhatItsWriterWould) {
  const std::string base = "/tmp/ravik-test-" + std::to_string(getpid()) + "-hold";
  const std::string path = base + ".h5", other = base + "-up.h5", held = base + "-held.h5",
                    state = base + ".state";
  const int64_t chunk = Hdf5Output::kChunkRecords;
  Records backByABatch;  // the third chunk's first record belongs before the second's first
  for (int64_t i = 0; i < 3 * chunk; ++i) backByABatch.push_back({1000 + 2 * i, int16_t(i % 5)});
  backByABatch[size_t(2 * chunk)] = {1000 + 2 * chunk - 1, 104};
  using C = Hdf5Compression;
  const struct {
    const char* name;
    Records records;
    size_t batch;
    bool columns;
    C compress;
    std::vector<size_t> at;  // the batches held at
  } cases[] = {
      {"records", heldRecords(5 * chunk + 123, false), 40000, false, C::None, {0, 1, 4, 9}},
      {"records, one too late", heldRecords(3 * chunk, true), 30000, false, C::Fast, {3, 7}},
      {"columns", heldRecords(5 * chunk + 123, false), 0, true, C::Fast, {1, 3, 6}},
      {"columns taken back", backByABatch, 0, true, C::None, {2}},
      {"columns taken back, deflate", backByABatch, 0, true, C::Deflate, {2}},
  };
  for (const auto& c : cases) {
    const Batches batches(c.records, c.batch, c.columns);
    const Written whole = writeRecords(path, c.records, c.batch, c.columns, c.compress);
    EXPECT_EQ(whole.outOfOrder, c.records.back().first == 5 ? 1 : 0);
    for (const size_t at : c.at) {
      SCOPED_TRACE(std::string(c.name) + ", held at batch " + std::to_string(at));
      const auto copy = [&] {
        ASSERT_EQ(system(("cp " + path + " " + held).c_str()), 0);
      };
      const Written went = goneOnAt(path, "", state, c.records, batches, at, c.compress, copy);
      expectSame(went, whole);
      expectSame(goneOnAt(other, held, state, c.records, batches, at, c.compress), went);
    }
  }

  // Killed at a moment of its own after the hold it last told of, the file going on meanwhile.
  const Records records = heldRecords(48 * chunk, false);
  const Batches batches(records, 16384, false);
  const Written whole = writeRecords(path, records, 16384, false, C::Fast);
  for (int run = 0; run < 4; ++run) {
    SCOPED_TRACE("killed, run " + std::to_string(run));
    int told[2];
    ASSERT_EQ(pipe(told), 0);
    const pid_t child = fork();
    if (child == 0) {
      close(told[0]);
      Hdf5Output out;
      std::string error;
      if (!out.create(held, "held.h5", C::Fast, &error, true)) _exit(1);
      for (size_t k = 0; k < batches.count(); ++k) {
        batches.put(&out, k, k + 1);
        const uint32_t at = uint32_t(k + 1);
        if (at % 16 == 0 && (!out.hold(state + std::to_string(at), &error) ||
                             write(told[1], &at, sizeof at) != sizeof at))
          _exit(1);
      }
      pause();  // killed while the file is still being written
      _exit(0);
    }
    close(told[1]);
    uint32_t at = 0;
    const uint32_t wanted = 16 * uint32_t(1 + run % 3);
    while (at < wanted && read(told[0], &at, sizeof at) == sizeof at) {
    }
    usleep(useconds_t(rand() % 20000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(told[0]);
    ASSERT_EQ(at, wanted);
    expectSame(goneOnAt(other, held, state + std::to_string(at), records, batches, at, C::Fast),
               whole);
    for (uint32_t k = 16; k <= batches.count(); k += 16) unlink((state + std::to_string(k)).c_str());
  }

  // Completed after its hold, and torn where a kill while it wrote the run's description in
  // the ordinary mode can tear it (the file's own structure, here all of it but the chunks held):
  // taken up at its last hold all the same, from the chunks where the hold found them. Cut
  // short, it is refused.
  {
    Hdf5Output out;
    std::string error;
    ASSERT_TRUE(out.create(held, "held.h5", C::Fast, &error, true)) << error;
    batches.put(&out, 0, 32);
    ASSERT_TRUE(out.hold(state, &error)) << error;
    batches.put(&out, 32, batches.count());
    ASSERT_TRUE(out.finish(Hdf5RunInfo(), &error)) << error;
  }
  {
    std::ifstream in(held, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::string torn(bytes.size(), '\0');
    const hid_t file = H5Fopen(held.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    for (const char* column : {"/photon_data/timestamps", "/photon_data/detectors"}) {
      const hid_t set = H5Dopen2(file, column, H5P_DEFAULT);
      for (hsize_t k = 0; k < 32 * 16384 / hsize_t(chunk); ++k) {
        const hsize_t offset[1] = {k * hsize_t(chunk)};
        haddr_t address = 0;
        hsize_t size = 0;
        ASSERT_GE(H5Dget_chunk_info_by_coord(set, offset, nullptr, &address, &size), 0);
        torn.replace(address, size, bytes, address, size);
      }
      H5Dclose(set);
    }
    H5Fclose(file);
    std::ofstream(held, std::ios::binary).write(torn.data(), std::streamsize(torn.size()));
  }
  expectSame(goneOnAt(other, held, state, records, batches, 32, C::Fast), whole);
  ASSERT_EQ(truncate(held.c_str(), 8192), 0);
  Hdf5Output up;
  std::string error;
  ASSERT_TRUE(up.create(other, "up.h5", C::Fast, &error, true)) << error;
  EXPECT_FALSE(up.takeUp(held, state, &error));
  EXPECT_NE(error.find("holds fewer records than were held"), std::string::npos) << error;
  up.abandon();
  for (const std::string& p : {path, other, held, state}) unlink(p.c_str());
}

// The HDF5 output's own bitshuffle + LZ4 chunks against the filter's plugin: a chunk written
// through the library's filter pipeline must be byte for byte what the encoder makes of it.
namespace {

// The chunk that the plugin stores for `values` (one chunk of all of them, in blocks of `block`).
std::vector<uint8_t> pluginChunk(const std::string& path, const std::vector<uint8_t>& values,
                                 size_t size, size_t block) {
  const hsize_t count[1] = {values.size() / size};
  const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  const hid_t space = H5Screate_simple(1, count, nullptr), props = H5Pcreate(H5P_DATASET_CREATE);
  H5Pset_chunk(props, 1, count);
  const unsigned int filter[2] = {unsigned(block), 2};  // LZ4 after the shuffle
  H5Pset_filter(props, 32008, H5Z_FLAG_MANDATORY, 2, filter);
  const hid_t type = size == 8 ? H5T_STD_I64LE : H5T_STD_I16LE;
  const hid_t set = H5Dcreate2(file, "column", type, space, H5P_DEFAULT, props, H5P_DEFAULT);
  EXPECT_GE(H5Dwrite(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
  const hsize_t origin[1] = {0};
  hsize_t bytes = 0;
  EXPECT_GE(H5Dget_chunk_storage_size(set, origin, &bytes), 0);
  std::vector<uint8_t> chunk(bytes);
  uint32_t filters = 0;
  EXPECT_GE(H5Dread_chunk(set, H5P_DEFAULT, origin, &filters, chunk.data()), 0);
  H5Dclose(set);
  H5Pclose(props);
  H5Sclose(space);
  H5Fclose(file);
  unlink(path.c_str());
  return chunk;
}

}  // namespace

// Timestamps (slowly rising, the upper bits alike) and channels (few values), and bytes at
// random where LZ4 finds little; one block or several, the last one short, elements left over
// past the last multiple of 8, fewer than 8 elements in all. One encoder of each kind for all, as
// the output reuses its buffers from chunk to chunk.
TEST(Bitshuffle, ChunksAreThoseOfTheFilterPlugin) {
  std::string error;
  ASSERT_TRUE(hdf5CanCompress(Hdf5Compression::Fast, &error)) << error;
  const std::string path = "/tmp/ravik-test-" + std::to_string(getpid()) + "-bitshuffle.h5";
  std::mt19937_64 random(7);
  // With each kind of vectors that the processor has.
  std::vector<BitshuffleLz4> encoders;
  for (int v = 0; v <= int(widestVectors()); ++v) encoders.emplace_back(Vectors(v));
  const struct { size_t size, count, block; bool noise; } cases[] = {
      {8, 65536, 65536, false}, {2, 65536, 65536, false}, {8, 65536, 65536, true},
      {8, 1003, 256, false},    {2, 1003, 256, true},     {8, 4096 + 24, 4096, true},
      {2, 5, 8, false},         {8, 200, 64, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, " + std::to_string(c.count) + " in blocks of " +
                 std::to_string(c.block) + (c.noise ? ", noise" : ""));
    std::vector<uint8_t> values(c.size * c.count);
    int64_t time = 1'000'000'000'000;
    for (size_t i = 0; i < c.count; ++i) {
      time += int64_t(random() % 90000);
      const int64_t value = c.noise ? int64_t(random()) : c.size == 8 ? time : int64_t(random() % 7);
      memcpy(&values[i * c.size], &value, c.size);  // little-endian: the low bytes
    }
    const std::vector<uint8_t> stored = pluginChunk(path, values, c.size, c.block);
    for (size_t v = 0; v < encoders.size(); ++v) {
      size_t bytes = 0;
      const uint8_t* chunk = encoders[v].encode(values.data(), c.count, c.size, c.block, &bytes);
      ASSERT_NE(chunk, nullptr);
      EXPECT_TRUE(std::vector<uint8_t>(chunk, chunk + bytes) == stored) << "vectors " << v;
    }
  }
}

// Without the bitshuffle plugin (here: the library told to load none, after the filter that
// earlier cases loaded is forgotten), compression "fast" is refused with the package to install,
// and no file is made; the other compressions need no plugin.
TEST(Hdf5Output, FastWithoutItsPluginIsRefusedBeforeAnyFile) {
  const std::string path = "/tmp/ravik-test-" + std::to_string(getpid()) + "-noplugin.h5";
  std::string error;
  ASSERT_TRUE(hdf5CanCompress(Hdf5Compression::Fast, &error)) << error;
  ASSERT_GE(H5Zunregister(32008), 0);
  ASSERT_GE(H5PLset_loading_state(0), 0);
  Hdf5Output out;
  EXPECT_FALSE(out.create(path, "/some/where/run.h5", Hdf5Compression::Fast, &error));
  EXPECT_EQ(error.find("/some/where/run.h5: the HDF5 filter bitshuffle with LZ4 (32008)"), 0u)
      << error;
  EXPECT_NE(error.find("install the Debian package bitshuffle"), std::string::npos) << error;
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  for (const Hdf5Compression c : {Hdf5Compression::None, Hdf5Compression::Deflate})
    EXPECT_TRUE(hdf5CanCompress(c, &error));
  ASSERT_GE(H5PLset_loading_state(H5PL_ALL_PLUGIN), 0);
  EXPECT_TRUE(hdf5CanCompress(Hdf5Compression::Fast, &error)) << error;
}

// Each output channel is named after its device and its own input, marker or loss record (the
// plain inputs and losses of devices with serials are checked on a recording by the Python tests):
// devices without a serial, five-channel mode, the markers' names, a later device's loss.
TEST(Hdf5Output, ChannelsAreNamedAfterTheirDevices) {
  const std::vector<Hdf5Source> four = {{"a", 0, "TK1", false, true}, {"b", 1, "TK2", false, true},
                                        {"c", 2, "", false, true}};
  std::vector<Hdf5Source> five = four;
  for (Hdf5Source& s : five) s.fiveChannel = true;
  // The sources, the output channel, and the kind, label, module and hardware channel of its name.
  const struct {
    const std::vector<Hdf5Source>* sources;
    int16_t channel;
    ChannelName::Kind kind;
    const char *label, *module;
    int16_t hardware;
  } cases[] = {
      {&four, 11, ChannelName::Photon, "chain 2 input 1", "chain 2", 1},
      {&five, 5, ChannelName::Photon, "TK1 input 5", "TK1", 5},
      {&five, 10, ChannelName::Photon, "TK2 input 5", "TK2", 5},
      {&four, 104, ChannelName::Marker, "TK1 marker ms tick", "TK1", 104},
      {&four, 105, ChannelName::Marker, "TK2 marker 0up", "TK2", 100},
      {&four, 201, ChannelName::Marker, "TK1 marker 1dn", "TK1", 201},
      {&four, 213, ChannelName::Marker, "chain 2 marker 3dn", "chain 2", 203},
      {&four, -4, ChannelName::Loss, "TK2 loss end", "TK2", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.channel);
    const ChannelName name = nameChannel(c.channel, *c.sources);
    EXPECT_EQ(std::tie(name.kind, name.label, name.module, name.hardware),
              std::tie(c.kind, c.label, c.module, c.hardware));
  }
}

// A file that may not grow beyond 1 MiB: the output says so as soon as a chunk cannot be
// written (the merge watches for that), and finish() fails with the final name.
TEST(Hdf5Output, WriteFailureIsReportedWithTheFileName) {
  const std::string path = "/tmp/ravik-test-" + std::to_string(getpid()) + "-full.h5";
  for (const bool columns : {false, true}) {
    SCOPED_TRACE(columns ? "columns" : "records");
    const pid_t pid = fork();
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{1 << 20, 1 << 20};
      setrlimit(RLIMIT_FSIZE, &limit);
      Hdf5Output out;
      std::string error;
      if (!out.create(path, "run.h5", Hdf5Compression::None, &error)) _exit(2);
      const size_t n = size_t(Hdf5Output::kChunkRecords);
      const std::vector<char> records(10 * n);
      const std::vector<int64_t> times(n);
      const std::vector<int16_t> channels(n);
      for (int i = 0; i < 17; ++i) {
        if (columns) out.putColumns(times.data(), channels.data(), n, true);
        else out.putRecords(records.data(), n);
      }
      const bool failedEarly = out.failed();
      if (out.finish(Hdf5RunInfo(), &error)) _exit(3);
      // exit(), not _exit(): the library's own clean-up at exit must survive the failed file too.
      exit(failedEarly && error == "run.h5: write error: File too large" ? 0 : 4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    unlink(path.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

}  // namespace
