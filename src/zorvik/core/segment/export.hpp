// ZORVIK_EXPORT marks what the core's shared library exports to the modules
// that load it: the classes and functions of its public headers
// (map/concurrent_hash_map.hpp, with the segment headers it brings, and
// upkeep/upkeep.hpp). Every room is built with hidden visibility, so a module
// can reach nothing else. Exception classes are marked too, so that a module
// catches them by their type.
#pragma once

#define ZORVIK_EXPORT __attribute__((visibility("default")))
