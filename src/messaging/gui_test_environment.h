#pragma once
// Text documents need a GUI application for their fonts; the tests run one on the
// offscreen platform, created once before the first test.

#include <QGuiApplication>

#include <gtest/gtest.h>

#include <memory>

namespace kalvento::messaging {

class GuiTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QGuiApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

private:
    int argc_ = 1;
    char name_[5] = "test";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QGuiApplication> app_;
};

inline ::testing::Environment* const guiTestEnvironment =
    ::testing::AddGlobalTestEnvironment(new GuiTestEnvironment);

} // namespace kalvento::messaging
