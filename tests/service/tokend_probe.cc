// varlo_tokend_probe: a module client as a program of its own, so that tests can run one as
// another user (under setpriv) against a service.
//
//   varlo_tokend_probe SOCKET STEP...
//     store:UID:JSON   stores a token (UID in hex)
//     sample:UID       stores the sample token of that UID (tests/service/sample_tokens.h)
//     remove:UID       removes one
//     getall           prints "tokens" and the UIDs of the reply, in its order, in hex
// Exit: 0 when every step went through, 2 when the connection or the handshake failed, 1 for
// any other failure; the reason goes to standard error.
#include <iostream>
#include <string>

#include "common/utf.h"
#include "tests/service/module_client.h"
#include "tests/service/sample_tokens.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: varlo_tokend_probe SOCKET STEP...\n";
    return 1;
  }
  const std::string socket = argv[1];
  std::unique_ptr<varlo::testservice::ModuleClient> client;
  try {
    client = std::make_unique<varlo::testservice::ModuleClient>(varlo::Utf8ToUtf16(socket));
  } catch (...) {
    std::cerr << "varlo_tokend_probe: no connection to " << socket << "\n";
    return 2;
  }
  try {
    for (int i = 2; i < argc; ++i) {
      const std::string step = argv[i];
      if (step == "getall") {
        std::cout << "tokens";
        for (const auto& record : client->GetAll())
          std::cout << ' ' << std::hex << record.uid;
        std::cout << std::endl;
      } else if (step.rfind("store:", 0) == 0) {
        const std::size_t colon = step.find(':', 6);
        client->Store(std::stoull(step.substr(6, colon - 6), nullptr, 16), step.substr(colon + 1));
      } else if (step.rfind("sample:", 0) == 0) {
        const std::uint64_t uid = std::stoull(step.substr(7), nullptr, 16);
        client->Store(uid, varlo::testservice::SampleToken(uid).ToJson());
      } else if (step.rfind("remove:", 0) == 0) {
        client->Remove(std::stoull(step.substr(7), nullptr, 16));
      } else {
        std::cerr << "varlo_tokend_probe: unknown step " << step << "\n";
        return 1;
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "varlo_tokend_probe: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
