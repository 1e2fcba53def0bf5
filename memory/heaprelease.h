#pragma once

// Gives the pages of freed heap memory back to the system after a large free. The
// allocator keeps freed memory for reuse and returns only what lies at the very top of its
// heaps, so a burst of small blocks (messages of a taken backlog, a database's signals)
// would leave the process as large as it ever was. Any thread may call it; the work runs
// on a thread of its own, so the caller never waits for it.

void returnFreedMemory();
