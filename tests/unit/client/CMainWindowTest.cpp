// The text an error dialog of the window shows: the table's text with the extra text filled in,
// and the window's own "错误码：" form where the table has nothing to say.
#include <gtest/gtest.h>

#include "CErrorCodeTable.h"
#include "CMainWindow.h"
#include "TestSupport.h"

using namespace orvane_test;

namespace {

TEST(ErrorDialogTextTest, TableTextOrTheCodeItself) {
    TempDir dir;
    const std::string file = dir.file("code.xml");
    ASSERT_TRUE(writeFile(file,
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<code>"
                          "<err id=\"150102\" value=\"网络错误 %s\"/>"
                          "<err id=\"150004\" value=\"\"/></code>"));
    ASSERT_TRUE(CErrorCodeTable::GetInst()->LoadFile(file.c_str()));

    EXPECT_STREQ("网络错误 7 %d", CMainWindow::ErrorText(150102, "", "7 %d").c_str());
    // A code the table does not know, and one whose text is empty, show the code.
    EXPECT_STREQ("错误码：99", CMainWindow::ErrorText(99, "", "").c_str());
    EXPECT_STREQ("错误码：150004", CMainWindow::ErrorText(150004, "", "x").c_str());
    // With a sub code only the combined key counts.
    EXPECT_STREQ("错误码：150102", CMainWindow::ErrorText(150102, "3", "x").c_str());
}

}  // namespace
