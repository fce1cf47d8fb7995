#include "manager/update/BoundedFetch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "common/Product.h"

namespace zevra::manager {

BoundedFetch::BoundedFetch(FetchLimits limits, QObject* parent)
    : QObject(parent), limits_(limits), deadline_(new QTimer(this)) {
  deadline_->setSingleShot(true);
  connect(deadline_, &QTimer::timeout, this, [this] { Finish(false, QStringLiteral("deadline passed")); });
}

BoundedFetch::~BoundedFetch() {
  if (reply_) {
    reply_->disconnect(this);
    reply_->abort();
  }
}

void BoundedFetch::Start(const QUrl& url) {
  if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
    // Reported from the event loop like every other outcome, so a caller
    // may connect to Finished after Start.
    QTimer::singleShot(0, this, [this] { Finish(false, QStringLiteral("not an http address")); });
    return;
  }
  network_ = new QNetworkAccessManager(this);
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::UserAgentHeader,
                    QStringLiteral("ZevraManager/") + QString::fromUtf8(zevra::kVersionNumber));
  // The deadline below covers the whole request; Qt's own transfer time-out
  // would only notice silence.
  request.setTransferTimeout(limits_.deadlineMs);
  reply_ = network_->get(request);
  connect(reply_, &QNetworkReply::readyRead, this, &BoundedFetch::ReadAvailable);
  connect(reply_, &QNetworkReply::finished, this, &BoundedFetch::OnReplyFinished);
  deadline_->start(limits_.deadlineMs);
}

void BoundedFetch::ReadAvailable() {
  if (finished_ || !reply_) return;
  // One byte beyond the cap tells an over-long body from one that fits.
  body_ += reply_->read(limits_.maxBodyBytes + 1 - body_.size());
  if (body_.size() > limits_.maxBodyBytes) Finish(false, QStringLiteral("body larger than %1 bytes").arg(limits_.maxBodyBytes));
}

void BoundedFetch::OnReplyFinished() {
  if (finished_ || !reply_) return;
  ReadAvailable();
  if (finished_) return;
  // A status like 404 is an answer too (Qt reports it as an error); the
  // caller decides what counts. Only a failure without a status is one here.
  const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (!status.isValid()) {
    Finish(false, reply_->errorString());
    return;
  }
  // A 200 whose body broke off is no answer.
  if (status.toInt() == 200 && reply_->error() != QNetworkReply::NoError) {
    Finish(false, reply_->errorString());
    return;
  }
  Finish(true, QString());
}

void BoundedFetch::Finish(bool complete, const QString& error) {
  if (finished_) return;
  finished_ = true;
  deadline_->stop();
  int status = 0;
  if (reply_) {
    status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply_->disconnect(this);
    if (!reply_->isFinished()) reply_->abort();
    reply_->deleteLater();
  }
  if (!complete) body_.clear();
  emit Finished(complete, status, body_, error);
}

}  // namespace zevra::manager
