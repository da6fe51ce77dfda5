#include "card/desfire_command.h"

#include <algorithm>
#include <sstream>

#include "common/hex.h"

namespace varlo {

namespace {
constexpr std::size_t kWrappedChunk = 54;
constexpr std::size_t kNativeChunk = 59;
constexpr std::uint8_t kWrappedClass = 0x90;
constexpr std::uint8_t kWrappedStatusMarker = 0x91;
constexpr std::size_t kWrappedHeader = 5;  // class, command, P1, P2, Lc

void AppendBytes(std::ostringstream& text, std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    text << ToHex(std::span(&b, 1)) << ' ';
  }
}

// `HexDump` showing only the first `head` and the last `tail` bytes.
std::string DumpWithheld(std::span<const std::uint8_t> bytes, std::size_t head, std::size_t tail) {
  head = std::min(head, bytes.size());
  tail = std::min(tail, bytes.size() - head);
  const std::size_t withheld = bytes.size() - head - tail;
  if (withheld == 0) {
    return HexDump(bytes);
  }
  std::ostringstream text;
  text << "[ ";
  AppendBytes(text, bytes.first(head));
  text << "<" << withheld << " byte withheld> ";
  AppendBytes(text, bytes.last(tail));
  text << "] (" << bytes.size() << " byte)";
  return text.str();
}

}  // namespace

DesfireCommand::DesfireCommand(std::uint8_t code, SecureBytes data, bool wrapped, DataInLog inLog)
    : code(code), data(std::move(data)), wrapped(wrapped), inLog(inLog) {
  BuildFrames();
}

void DesfireCommand::BuildFrames() {
  frames.clear();
  response.clear();
  nextFrame = 0;
  const std::size_t chunkSize = wrapped ? kWrappedChunk : kNativeChunk;
  std::size_t offset = 0;
  do {
    const std::size_t length = std::min(chunkSize, data.size() - offset);
    const auto chunk = std::span(data).subspan(offset, length);
    const std::uint8_t command = offset == 0 ? code : kCmdAdditionalFrame;
    SecureBytes frame;
    if (wrapped) {
      frame = {kWrappedClass, command, 0x00, 0x00, static_cast<std::uint8_t>(length)};
      frame.insert(frame.end(), chunk.begin(), chunk.end());
      if (!chunk.empty()) {
        frame.push_back(0x00);  // Le
      }
    } else {
      frame.push_back(command);
      frame.insert(frame.end(), chunk.begin(), chunk.end());
    }
    frames.push_back(std::move(frame));
    offset += length;
  } while (offset < data.size());
}

SecureBytes DesfireCommand::NextFrame() {
  if (nextFrame >= frames.size()) {
    return {};
  }
  return frames[nextFrame++];
}

void DesfireCommand::ParseResponse(std::span<const std::uint8_t> answer) {
  if (answer.size() == 2 && answer[0] == kStatusWrongLength && answer[1] == 0x00) {
    wrapped = true;
    status = kStatusWrongLength;
    BuildFrames();
    return;
  }
  if (wrapped) {
    if (answer.size() < 2 || answer[answer.size() - 2] != kWrappedStatusMarker) {
      status = kStatusNoResponse;
      return;
    }
    status = answer.back();
    response.insert(response.end(), answer.begin(), answer.end() - 2);
    return;
  }
  if (answer.empty()) {
    status = kStatusNoResponse;
    return;
  }
  status = answer[0];
  response.insert(response.end(), answer.begin() + 1, answer.end());
}

std::string DesfireCommand::SentText(std::span<const std::uint8_t> frame) const {
  if (inLog != DataInLog::Withheld) {
    return HexDump(frame);
  }
  // A wrapped frame ends in Le when it carries data.
  return wrapped ? DumpWithheld(frame, kWrappedHeader, 1) : DumpWithheld(frame, 1, 0);
}

std::string DesfireCommand::AnswerText(std::span<const std::uint8_t> answer) const {
  // 67 00 carries no data; it is the answer that switches the framing.
  const bool wrongLength =
      answer.size() == 2 && answer[0] == kStatusWrongLength && answer[1] == 0x00;
  if (inLog == DataInLog::Shown || wrongLength) {
    return HexDump(answer);
  }
  return wrapped ? DumpWithheld(answer, 0, 2) : DumpWithheld(answer, 1, 0);
}

std::string HexDump(std::span<const std::uint8_t> bytes) {
  std::ostringstream text;
  text << "[ ";
  AppendBytes(text, bytes);
  text << "] (" << bytes.size() << " byte)";
  return text.str();
}

}  // namespace varlo
