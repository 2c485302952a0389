#pragma once

namespace cleftone {

/// Tunes the C library's allocator for stripping: called once at the start of main(), before
/// any other thread exists.
///
/// Reading a container allocates and frees one buffer per packet, next to a few small records.
/// With the allocator's fast bins on, every such free next to the top of the heap triggers a
/// consolidation of all small free chunks, which cost about a fifth of the CPU time of stripping
/// and checking a large M4A file. Without fast bins the small records go to the thread cache and
/// the ordinary bins instead.
void tuneMemoryAllocator();

} // namespace cleftone
