// The interfaces of the message layers.
//
// A wrapper is one layer: it is attached to the reader and writer of the layer below and is
// itself a reader and/or a writer for the layer above. A stack entry knows how to create one
// wrapper; a stack is the finished pile, read and written at its top.
#ifndef RAVCORE_NETWORK_MBC_INTERFACES_H_
#define RAVCORE_NETWORK_MBC_INTERFACES_H_

#include <memory>

#include "ravcore/network/mbc/message.h"

namespace ravcore::network::mbc {

class IMessageReader {
 public:
  virtual ~IMessageReader() = default;
  // The next complete message, or the empty marker when none has arrived.
  virtual Message Read() = 0;
  // True when part of a message has been read and the rest is still to come, so that a
  // polling reader should look again soon rather than after its idle interval. Call it from
  // the reading thread.
  virtual bool IsMidMessage() { return false; }
};

class IMessageWriter {
 public:
  virtual ~IMessageWriter() = default;
  virtual void Write(const Message& message) = 0;
};

class IWrapper {
 public:
  virtual ~IWrapper() = default;
  // The reader and writer this layer uses below it.
  virtual std::shared_ptr<IMessageReader> GetReader() = 0;
  virtual std::shared_ptr<IMessageWriter> GetWriter() = 0;
  // Takes the layer below; either may be null.
  virtual void Attach(std::shared_ptr<IMessageReader> reader,
                      std::shared_ptr<IMessageWriter> writer) = 0;
};

class IStack : public IMessageReader, public IMessageWriter {};

class IStackEntry {
 public:
  virtual ~IStackEntry() = default;
  // A new wrapper attached to the given layer below.
  virtual std::shared_ptr<IWrapper> Create(std::shared_ptr<IMessageReader> lowerReader,
                                           std::shared_ptr<IMessageWriter> lowerWriter) = 0;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_INTERFACES_H_
