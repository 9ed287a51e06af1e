#pragma once
#include <gtest/gtest.h>

#include <QDir>
#include <QString>
#include <QTemporaryDir>

// Runs each test inside its own temporary working directory, restored afterwards.
class WorkingDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        old_cwd_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    }
    void TearDown() override { QDir::setCurrent(old_cwd_); }

    QTemporaryDir dir_;
    QString old_cwd_;
};
