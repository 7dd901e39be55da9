#include "quorvel_transport/config.hpp"

NullStream::NullStream() : std::ostream(nullptr) { rdbuf(&buffer_); }

NullStream::~NullStream() = default;

NullStream _ns;

std::string getLibraryVersion() { return "0.1.10-beta"; }
