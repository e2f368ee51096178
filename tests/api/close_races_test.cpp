// An application's close racing a close the library runs itself (the held
// camera's unplug, the last TLClose): once DevClose or DSClose has answered,
// the library touches none of the application's buffers, which it frees at
// once (the sanitizers see any later access).

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.h"
#include "open_stream.h"
#include "test_main.h"

using zar_test::OpenStream;

namespace {

enum class LibraryClose { Unplug, LastTLClose };

struct Race {
  LibraryClose library;
  bool closesTheStream; // the application's close: DSClose, else DevClose
  const char *name;
};

constexpr Race kRaces[] = {{LibraryClose::Unplug, false, "unplug / DevClose"},
                           {LibraryClose::Unplug, true, "unplug / DSClose"},
                           {LibraryClose::LastTLClose, false, "last TLClose / DevClose"},
                           {LibraryClose::LastTLClose, true, "last TLClose / DSClose"}};

// The application's close comes the moment the library's has made the device
// handle invalid, while that close is still revoking the buffers.
TEST(CloseRaces, AnApplicationsCloseAnswersOnlyAfterTheLibrarysCloseOfTheSameCamera) {
  for (const Race &race : kRaces) {
    for (int round = 0; round < 5; ++round) {
      SCOPED_TRACE(std::string(race.name) + ", round " + std::to_string(round));
      OpenStream opened(zar_test::StreamConfig("CR"));
      ASSERT_TRUE(opened.Ready());
      std::vector<std::unique_ptr<uint8_t[]>> memory;
      for (int i = 0; i < 4; ++i) {
        memory.push_back(std::make_unique<uint8_t[]>(opened.FrameBytes()));
        uint32_t id = 0;
        ASSERT_EQ(DSAnnounceBuffer(opened.Stream(), memory.back().get(), opened.FrameBytes(), nullptr, &id), 0);
        ASSERT_EQ(DSQueueBuffer(opened.Stream(), id), 0);
      }
      ASSERT_EQ(DSStartAcquisition(opened.Stream(), 0, 1000000), 0);
      std::thread library([&] {
        if (race.library == LibraryClose::Unplug)
          oxa::ZarUsb::emulator::Unplug(opened.Slot());
        else
          TLClose(opened.TL());
      });
      uint32_t streams = 0;
      const bool invalid =
          zar_test::WaitFor([&] { return DevGetNumDataStreams(opened.Device(), &streams) == ZAR_ERR_INVALID_HANDLE; });
      const ZAR_STATUS closed = race.closesTheStream ? DSClose(opened.Stream()) : DevClose(opened.Device());
      memory.clear();
      library.join();
      opened.Forget();
      EXPECT_TRUE(invalid);
      EXPECT_EQ(closed, ZAR_ERR_INVALID_HANDLE);
    }
  }
}

} // namespace
