#include "platform/log.h"

Q_LOGGING_CATEGORY(lcAppState, "com.quorvintesha.Marlox.AppState", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBookmarkStore, "com.quorvintesha.Marlox.BookmarkStore", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFolderWatcher, "com.quorvintesha.Marlox.FolderWatcher", QtInfoMsg)
Q_LOGGING_CATEGORY(lcImageZoom, "com.quorvintesha.Marlox.ImageZoom", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLoginItem, "com.quorvintesha.Marlox.LoginItem", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDatabase, "com.quorvintesha.Marlox.Database", QtInfoMsg)
Q_LOGGING_CATEGORY(lcOCR, "com.quorvintesha.Marlox.OCR", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPlatform, "com.quorvintesha.Marlox.Platform", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUpdates, "com.quorvintesha.Marlox.Updates", QtInfoMsg)
Q_LOGGING_CATEGORY(lcShell, "com.quorvintesha.Marlox.Shell", QtInfoMsg)
