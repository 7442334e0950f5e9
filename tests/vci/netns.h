#pragma once

// True when the tests run in a network namespace of their own (see netns_main.cpp).
bool RunningIsolated();
