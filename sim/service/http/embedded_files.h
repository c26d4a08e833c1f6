// The dashboard's page, built into the daemon (generated at build time from
// sim/service/http/page/), so that it works offline and fetches nothing.
#pragma once

#include <cstddef>

namespace dpsim::dashboard {

struct EmbeddedFile {
  const char* path;  // "/index.html"
  const unsigned char* data;
  size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;

}  // namespace dpsim::dashboard
