// One HTTP GET with limits: the body is capped and the whole request, from
// connecting to the last byte, has a deadline. A server that accepts and
// never answers, or that trickles a byte now and then, cannot hold the
// console's update check for longer than the deadline, and no server can
// make it keep more than the cap in memory.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace zevra::manager {

struct FetchLimits {
  qint64 maxBodyBytes = 4096;
  int deadlineMs = 10000;
};

struct FetchResult {
  // False when the request failed, ran past its deadline or its body past
  // the cap; then the body is empty.
  bool complete = false;
  int httpStatus = 0;
  QByteArray body;
  QString error;
};

// Lives on the thread that starts it; reports once through Finished.
class BoundedFetch : public QObject {
  Q_OBJECT

 public:
  explicit BoundedFetch(FetchLimits limits, QObject* parent = nullptr);
  ~BoundedFetch() override;

  void Start(const QUrl& url);
  bool IsFinished() const { return finished_; }

 signals:
  void Finished(bool complete, int httpStatus, const QByteArray& body, const QString& error);

 private:
  void ReadAvailable();
  void OnReplyFinished();
  void Finish(bool complete, const QString& error);

  FetchLimits limits_;
  QNetworkAccessManager* network_ = nullptr;
  QPointer<QNetworkReply> reply_;
  // A child, so that it moves along when the fetch moves to its thread.
  QTimer* deadline_;
  QByteArray body_;
  bool finished_ = false;
};

}  // namespace zevra::manager
