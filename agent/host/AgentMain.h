#pragma once

// The body of the agent thread: guard, application, logging, the agent's
// components and the event loop. Returns the event loop's exit code, or 0 at
// once when another instance runs.
int startAgent(int argc, char** argv);
