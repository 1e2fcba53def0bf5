#pragma once

// Gives the pages of freed heap memory back to the system after a large free. The
// allocator keeps freed memory for reuse and returns only what lies at the very top of its
// heaps, so a burst of small blocks (messages of a taken backlog, a database's signals)
// would leave the process as large as it ever was. Any thread may call it; the work runs
// on a thread of its own, so the caller never waits for it.

void returnFreedMemory();

// Fixes the allocator's thresholds at 1 MiB: a block that large is mapped on its own and
// unmapped when freed, and free space that large at the top of a heap goes back. Left to
// itself the allocator raises both after every large free, up to 32 MB and 64 MB, and a
// thread's heap then keeps what a database or a backlog took for good. All threads share
// the one heap: a thread's own heap gives back the free space at its top only when a large
// block is freed into it, which a database of a million small blocks never does, so its
// pages stayed after the unload whatever returnFreedMemory() asked. Call it once at the
// start, before other threads run.
void configureHeap();
