// A switch for tests of the codec; built only into test builds
// (TWOPASS_TEST_HOOKS).
#pragma once

#ifndef TWOPASS_TEST_HOOKS
#error "codec_testing.h is for test builds, which define TWOPASS_TEST_HOOKS"
#endif

// 0 sends every frame through the drivers' padded intermediate picture, 1
// (the default) converts suitable frames in place. Both must give the same bytes.
void codec_set_direct_conversion(int on);
