#pragma once

#include <QFileDialog>
#include <QGuiApplication>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "sources/open_source.h"
#include "ui/message_boxes.h"

namespace korvid::app::testing {

// The program's window with the real message boxes and dialogs, its cache in a temporary folder.
struct RealWindow {
  RealWindow()
      : window({.Boxes = boxes,
                .Shell = shell,
                .ExecutablePath = QGuiApplication::applicationFilePath(),
                .TickCount = 1234,
                .OpenSource = [](const std::string& path) { return sources::OpenSource(path); },
                .CacheFolder = (cache.path() + QStringLiteral("/Cache")).toStdString()}) {}

  ui::QtMessageBoxes boxes;
  ui::DesktopShell shell;
  QTemporaryDir cache;
  TfrmMain window;
};

// Message boxes answered by the test: every box is recorded, questions get `answer`.
class ScriptedBoxes final : public ui::MessageBoxes {
 public:
  struct Box {
    QString Kind;  // "inform", "ask" or "error"
    QString Caption;
    QString Text;
  };

  void Inform(QWidget*, const QString& text) override {
    shown.push_back({QStringLiteral("inform"), QGuiApplication::applicationDisplayName(), text});
  }
  bool Ask(QWidget*, const QString& caption, const QString& text) override {
    shown.push_back({QStringLiteral("ask"), caption, text});
    return answer(caption, text);
  }
  void ReportError(QWidget*, const QString& text) override {
    shown.push_back({QStringLiteral("error"), QString(), text});
  }

  QStringList Texts() const {
    QStringList texts;
    for (const Box& box : shown) texts << box.Text;
    return texts;
  }

  std::vector<Box> shown;
  std::function<bool(const QString& caption, const QString& text)> answer = [](const QString&, const QString&) {
    return true;
  };
};

// Dialogs answered by the test; pages and files "opened" are only recorded.
class ScriptedShell final : public ui::ShellServices {
 public:
  std::optional<QString> ChooseFolder(QWidget*, const QString& prompt) override {
    prompts << prompt;
    return folder;
  }
  std::optional<QString> ChooseFile(QFileDialog& od) override {
    filtersSeen = od.nameFilters();
    suffixSeen = od.defaultSuffix();
    return file;
  }
  void Open(const QUrl& url) override { opened.push_back(url); }

  std::optional<QString> folder;
  std::optional<QString> file;
  QStringList prompts;
  QStringList filtersSeen;
  QString suffixSeen;
  std::vector<QUrl> opened;
};

// A source whose reads at or past `Gate()` wait until the test moves the gate on, so that a test
// knows how far a scan can have come.
class Gate {
 public:
  explicit Gate(int64_t open) : open_(open) {}
  void MoveTo(int64_t open) {
    std::lock_guard lock(mutex_);
    open_ = open;
    moved_.notify_all();
  }
  void WaitFor(int64_t end) {
    std::unique_lock lock(mutex_);
    moved_.wait(lock, [&] { return end <= open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable moved_;
  int64_t open_;
};

class GatedSource final : public SourceDevice {
 public:
  GatedSource(std::unique_ptr<SourceDevice> inner, std::shared_ptr<Gate> gate)
      : inner_(std::move(inner)), gate_(std::move(gate)) {}
  const std::string& Path() const override { return inner_->Path(); }
  int64_t Size() const override { return inner_->Size(); }
  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override {
    gate_->WaitFor(offset + static_cast<int64_t>(length));
    return inner_->ReadAt(offset, buffer, length);
  }

 private:
  std::unique_ptr<SourceDevice> inner_;
  std::shared_ptr<Gate> gate_;
};

// A source whose reads wait at the gate by their number: read n (from 1) waits until the gate
// has reached n.
class CountedSource final : public SourceDevice {
 public:
  CountedSource(std::unique_ptr<SourceDevice> inner, std::shared_ptr<Gate> gate,
                std::shared_ptr<std::atomic<int64_t>> reads)
      : inner_(std::move(inner)), gate_(std::move(gate)), reads_(std::move(reads)) {}
  const std::string& Path() const override { return inner_->Path(); }
  int64_t Size() const override { return inner_->Size(); }
  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override {
    gate_->WaitFor(++*reads_);
    return inner_->ReadAt(offset, buffer, length);
  }

 private:
  std::unique_ptr<SourceDevice> inner_;
  std::shared_ptr<Gate> gate_;
  std::shared_ptr<std::atomic<int64_t>> reads_;
};

inline SourceOpener GatedOpener(std::shared_ptr<Gate> gate) {
  return [gate](const std::string& path) -> std::unique_ptr<SourceDevice> {
    return std::make_unique<GatedSource>(sources::OpenSource(path), gate);
  };
}

inline constexpr int64_t Chunk = 262144;

// A disk image made of filler with chains of back-to-back "00dc" chunks put at chosen offsets.
struct TestImage {
  struct Chain {
    int64_t Start = 0;
    int64_t End = 0;  // one past the last chunk
    int Records = 0;
  };

  explicit TestImage(int64_t size) : bytes(static_cast<size_t>(size)) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x80 + i % 97);
  }

  // `count` chunks of `dataSize` bytes each (even, so no pad byte) from `at` on.
  void PutChain(int64_t at, int count, uint32_t dataSize) {
    Chain chain{at, at, count};
    for (int i = 0; i < count; ++i) {
      uint8_t* p = bytes.data() + chain.End;
      std::memcpy(p, "00dc", 4);
      for (int b = 0; b < 4; ++b) p[4 + b] = static_cast<uint8_t>(dataSize >> (8 * b));
      std::memset(p + 8, 0x11 * (i + 1), dataSize);
      chain.End += 8 + dataSize;
    }
    chains.push_back(chain);
  }

  int Records() const {
    int records = 0;
    for (const Chain& chain : chains) records += chain.Records;
    return records;
  }

  void Write(const QString& path) const {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  std::vector<uint8_t> Slice(const Chain& chain) const {
    return {bytes.begin() + chain.Start, bytes.begin() + chain.End};
  }

  std::vector<uint8_t> bytes;
  std::vector<Chain> chains;
};

// A sample recording's head: RIFF and header lists up to "movi", then a frame.
inline std::vector<uint8_t> SampleHead() {
  const std::string head = std::string("RIFF\x10\x00\x01\x00" "AVI LIST\x20\x00\x00\x00hdrlavih", 24) +
                           std::string(16, '\0') + "LIST" + std::string("\x40\x00\x00\x00", 4) + "movi";
  return {head.begin(), head.end()};
}

inline void WriteSample(const QString& path, bool withMovi = true) {
  std::vector<uint8_t> bytes = withMovi ? SampleHead() : std::vector<uint8_t>(200, 'x');
  bytes.insert(bytes.end(), {'0', '0', 'd', 'c', 4, 0, 0, 0, 1, 2, 3, 4});
  std::ofstream out(path.toStdString(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBytes(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One window with scripted boxes and dialogs, its cache in a temporary folder. With a gate, its
// runs read through it; the gate opens before the window goes, so no run is left waiting.
struct WindowFixture {
  // Runs open their source with `open` when given, through `gate` when given, else directly.
  explicit WindowFixture(std::shared_ptr<Gate> gate = nullptr, uint64_t tickCount = 1234,
                         QString executable = QStringLiteral("/opt/korvid/korvid"), SourceOpener open = nullptr)
      : gate_(gate),
        window({.Boxes = boxes,
                .Shell = shell,
                .ExecutablePath = std::move(executable),
                .TickCount = tickCount,
                .OpenSource = open ? open : gate ? GatedOpener(gate) : SourceOpener(sources::OpenSource),
                .CacheFolder = (cache.path() + QStringLiteral("/Cache")).toStdString()}) {}
  ~WindowFixture() {
    if (gate_) gate_->MoveTo(INT64_MAX);
  }

 private:
  std::shared_ptr<Gate> gate_;

 public:
  ScriptedBoxes boxes;
  ScriptedShell shell;
  QTemporaryDir cache;
  TfrmMain window;
};

}  // namespace korvid::app::testing
