// How the core's caller stops an operation for a reason of its own: a signal
// handler of the host that raised while a command was awaited, or an exception
// (KeyboardInterrupt, SystemExit, ...) out of the host's logging.
#pragma once

namespace zeq::core {

// Thrown through the core and out of it unchanged. Deliberately not a
// std::exception: it is no failure of the core's work, so failure handling
// that catches std::exception (every probe step does) lets it through, and
// nothing may catch it with catch (...) without throwing it on. Whatever
// throws it (the bindings) derives from it to carry its own payload.
class Interrupted {
public:
    virtual ~Interrupted() = default;
};

}  // namespace zeq::core
