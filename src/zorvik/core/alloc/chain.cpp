#include "zorvik/core/alloc/chain.hpp"

#include "zorvik/core/alloc/allocator.hpp"

namespace zorvik {

const std::out_of_range &offset_overflow_exception() {
    static const std::out_of_range e("offset overflow!");
    return e;
}

void throw_offset_overflow() { throw offset_overflow_exception(); }

bool Chain::free_links_and_payloads() const {
    // free_chunk checks each chunk itself: it refuses anything that is not a
    // chunk it handed out, inside the area, of a size a list keeps.
    for (ChunkLink *link : links()) {
        if (!free_chunk(area_->base(), to_address(area_->base(), link->chunk))) return false;
        if (!free_chunk(area_->base(), reinterpret_cast<char *>(link))) return false;
    }
    return true;
}

}  // namespace zorvik
