#include "ravcore/network/mbc/stack_builder.h"

#include <algorithm>

#include "ravcore/network/network_exception.h"

namespace ravcore::network::mbc {

StackBuilder::Stack::Stack(std::vector<std::shared_ptr<IWrapper>> wrappers)
    : wrappers_(std::move(wrappers)) {
  if (!wrappers_.empty()) {
    topReader_ = std::dynamic_pointer_cast<IMessageReader>(wrappers_.front());
    topWriter_ = std::dynamic_pointer_cast<IMessageWriter>(wrappers_.front());
  }
}

StackBuilder::Stack::~Stack() {
  Clear();
}

Message StackBuilder::Stack::Read() {
  if (wrappers_.empty())
    throw NetworkException("Stack is empty.");
  if (!topReader_)
    throw NetworkException("Top of stack is not a message reader.");
  return topReader_->Read();
}

bool StackBuilder::Stack::WaitForData(std::chrono::milliseconds limit,
                                      const varlo::platform::WakeEvent* stop) {
  return topReader_ ? topReader_->WaitForData(limit, stop) : IStack::WaitForData(limit, stop);
}

void StackBuilder::Stack::Write(const Message& message) {
  if (wrappers_.empty())
    throw NetworkException("Stack is empty.");
  if (!topWriter_)
    throw NetworkException("Top of stack is not a message writer.");
  topWriter_->Write(message);
}

void StackBuilder::Stack::Clear() {
  topReader_.reset();
  topWriter_.reset();
  // Topmost first, so that a polling layer stops before the layers it reads from go.
  for (auto& wrapper : wrappers_)
    wrapper.reset();
  wrappers_.clear();
}

std::unique_ptr<IStack> StackBuilder::Build() {
  std::shared_ptr<IMessageReader> lowerReader;
  std::shared_ptr<IMessageWriter> lowerWriter;
  std::vector<std::shared_ptr<IWrapper>> wrappers;
  for (const auto& entry : entries_) {
    std::shared_ptr<IWrapper> wrapper = entry->Create(lowerReader, lowerWriter);
    lowerReader = std::dynamic_pointer_cast<IMessageReader>(wrapper);
    lowerWriter = std::dynamic_pointer_cast<IMessageWriter>(wrapper);
    wrappers.push_back(std::move(wrapper));
  }
  std::reverse(wrappers.begin(), wrappers.end());
  return std::make_unique<Stack>(std::move(wrappers));
}

}  // namespace ravcore::network::mbc
