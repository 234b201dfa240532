// A client that keeps result.json open for reading and shares it for reading
// only, so that no one may write it meanwhile. The helper's write of the next
// result fails, silently: the nonce still counts as handled, and once the
// reader lets go the next command is answered as usual. POSIX has no such
// mandatory lock, so this case exists only here.
#include <windows.h>

#include <gtest/gtest.h>

#include "unit/faults_fixture.h"

namespace {

using namespace tarsel::testing;

using Faults = LoopOnThread;

TEST_F(Faults, ResultHeldOpenWithoutWriteSharing) {
    start();
    command(R"({"action":"up","nonce":1})");
    ASSERT_TRUE(wait_for_result(R"({"nonce":1,"ok":true})"));

    const HANDLE reader =
        CreateFileW((data / "result.json").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    command(R"({"action":"down","nonce":2})");
    ASSERT_TRUE(wait_until([&] { return ran().size() == 2; }));
    ASSERT_TRUE(let_passes_go_by(20));
    EXPECT_EQ(result(), R"({"nonce":1,"ok":true})");
    CloseHandle(reader);

    // The same nonce again is not run again: it was handled.
    command(R"({"action":"down","nonce":2})");
    ASSERT_TRUE(let_passes_go_by(20));
    EXPECT_EQ(ran(), (std::vector<Arguments>{up(), down()}));

    command(R"({"action":"up","nonce":3})");
    EXPECT_TRUE(wait_for_result(R"({"nonce":3,"ok":true})"));
    EXPECT_EQ(ran(), (std::vector<Arguments>{up(), down(), up()}));
}

}  // namespace
