#pragma once

// How long a test waits for what normally takes well under a second (a reply, a hook, a process
// starting or ending) before it fails: generous, for loaded machines and sanitizer builds.
constexpr int testWaitMs = 30000;
