#include "window/Updates.h"

#include <QHostAddress>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <qcoro/qcorotask.h>

namespace {

// A loopback web server with fixed answers per path. Each connection gets one
// answer and is closed.
class FixedServer : public QObject {
public:
    struct Response {
        int status = 200;
        QByteArray body;
        bool withLength = true;
    };

    FixedServer() {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    bool isListening() const { return m_server.isListening(); }
    void add(const QString& path, Response response) { m_responses.insert(path, response); }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    QList<QByteArray> requests() const { return m_requests; }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n"))
            return;
        m_requests.append(buffer);
        const QList<QByteArray> first = buffer.left(buffer.indexOf("\r\n")).split(' ');
        const QString path = first.size() > 1 ? QString::fromLatin1(first[1]) : QString();
        const Response response =
            m_responses.value(path, Response{404, "<html><body>Not found</body></html>", true});
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) +
                          (response.status == 200 ? " OK" : " Not Found") + "\r\n";
        head += "Content-Type: application/json\r\nConnection: close\r\n";
        if (response.withLength)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        head += "\r\n";
        socket->write(head + response.body);
        socket->disconnectFromHost();
        m_buffers.remove(socket);
    }

    QTcpServer m_server;
    QMap<QString, Response> m_responses;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<QByteArray> m_requests;
};

QByteArray manifest(const char* version, const char* url) {
    return QByteArray("{\"version\": \"") + version + "\", \"url\": \"" + url + "\"}";
}

const QString couldNot = QStringLiteral("Could not check for updates.");

} // namespace

class UpdatesQtTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void versionsCompareByTheValueOfTheirNumbers_data() {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("right");
        QTest::addColumn<int>("order");
        QTest::newRow("1.10 > 1.9") << "1.10"
                                    << "1.9" << 1;
        QTest::newRow("equal") << "1.4"
                               << "1.4" << 0;
        QTest::newRow("older") << "1.3.9"
                               << "1.4" << -1;
        QTest::newRow("anything > 0") << "0.0.1"
                                      << "0" << 1;
        QTest::newRow("leading zeros") << "1.010"
                                       << "1.10" << 0;
        QTest::newRow("longer is newer") << "1.2.0"
                                         << "1.2" << 1;
        QTest::newRow("huge runs") << "1.123456789012345678901"
                                   << "1.99999999999999999999" << 1;
        QTest::newRow("letters") << "2.0b"
                                 << "2.0a" << 1;
    }
    void versionsCompareByTheValueOfTheirNumbers() {
        QFETCH(QString, left);
        QFETCH(QString, right);
        QFETCH(int, order);
        QCOMPARE(Updates::compareVersions(left, right), order);
        QCOMPARE(Updates::compareVersions(right, left), -order);
    }

    void manifestDecoding_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("good") << manifest("1.4", "https://example.org/q.zip") << true;
        QTest::newRow("extra keys")
            << QByteArray("{\"version\":\"2\",\"url\":\"https://a.b/c\",\"notes\":1}") << true;
        QTest::newRow("no url") << QByteArray("{\"version\":\"1.4\"}") << false;
        QTest::newRow("version a number")
            << QByteArray("{\"version\":1.4,\"url\":\"https://a.b/\"}") << false;
        QTest::newRow("url a number") << QByteArray("{\"version\":\"1\",\"url\":5}") << false;
        QTest::newRow("plain http link") << manifest("9", "http://example.org/q.zip") << false;
        QTest::newRow("file link") << manifest("9", "file:///etc/passwd") << false;
        QTest::newRow("not a url") << manifest("9", "https://") << false;
        QTest::newRow("array") << QByteArray("[1,2]") << false;
        QTest::newRow("html") << QByteArray("<html></html>") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void manifestDecoding() {
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        QCOMPARE(Updates::parseLatest(body).has_value(), decodes);
    }

    void oversizedBodyIsNoManifest() {
        QByteArray body = manifest("9.9", "https://example.org/q.zip");
        body.insert(1, QByteArray(Updates::maxManifestBytes, ' '));
        QVERIFY(!Updates::parseLatest(body));
    }

    void answersAgainstALocalServer_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("download");
        QTest::newRow("404 page") << "/missing"
                                  << "1.0" << couldNot << "";
        QTest::newRow("missing url") << "/nourl"
                                     << "1.0" << couldNot << "";
        QTest::newRow("older") << "/older"
                               << "1.4"
                               << "Quillmarsh 1.4 is up to date."
                               << "";
        QTest::newRow("equal") << "/equal"
                               << "1.4"
                               << "Quillmarsh 1.4 is up to date."
                               << "";
        QTest::newRow("newer") << "/newer"
                               << "1.9"
                               << "Version 1.10 is available."
                               << "https://example.org/quillmarsh-1.10.zip";
        QTest::newRow("own version 0") << "/equal"
                                       << "0"
                                       << "Version 1.4 is available."
                                       << "https://example.org/q.zip";
        QTest::newRow("oversized") << "/huge"
                                   << "1.0" << couldNot << "";
        QTest::newRow("oversized, no length") << "/hugeStream"
                                              << "1.0" << couldNot << "";
        QTest::newRow("http link") << "/insecure"
                                   << "1.0" << couldNot << "";
        QTest::newRow("manifest on an error page") << "/errorButJson"
                                                   << "1.0"
                                                   << "Version 2.0 is available."
                                                   << "https://example.org/q.zip";
    }
    void answersAgainstALocalServer() {
        QFETCH(QString, path);
        QFETCH(QString, current);
        QFETCH(QString, message);
        QFETCH(QString, download);

        FixedServer server;
        QVERIFY(server.isListening());
        server.add(QStringLiteral("/quillmarsh/nourl"), {200, "{\"version\":\"9.0\"}", true});
        server.add(QStringLiteral("/quillmarsh/older"),
                   {200, manifest("1.3", "https://example.org/q.zip"), true});
        server.add(QStringLiteral("/quillmarsh/equal"),
                   {200, manifest("1.4", "https://example.org/q.zip"), true});
        server.add(QStringLiteral("/quillmarsh/newer"),
                   {200, manifest("1.10", "https://example.org/quillmarsh-1.10.zip"), true});
        QByteArray huge = manifest("9.9", "https://example.org/q.zip");
        huge.insert(1, QByteArray(200 * 1024, ' '));
        server.add(QStringLiteral("/quillmarsh/huge"), {200, huge, true});
        server.add(QStringLiteral("/quillmarsh/hugeStream"), {200, huge, false});
        server.add(QStringLiteral("/quillmarsh/insecure"),
                   {200, manifest("9.9", "http://example.org/q.zip"), true});
        server.add(QStringLiteral("/quillmarsh/errorButJson"),
                   {500, manifest("2.0", "https://example.org/q.zip"), true});

        const Updates::Answer answer = QCoro::waitFor(
            Updates::check(current, server.url(QStringLiteral("/quillmarsh") + path)));
        QCOMPARE(answer.message, message);
        QCOMPARE(answer.download.value_or(QUrl()).toString(), download);
        // Qt may send a GET again when the server closes the connection the
        // moment it has written the body, so a second identical request is
        // the network stack's, not the check's.
        QVERIFY(!server.requests().isEmpty());
        for (const QByteArray& request : server.requests())
            QVERIFY(request.startsWith("GET /quillmarsh" + path.toLatin1() + " "));
    }

    void eachCheckAsksTheServerAgain() {
        FixedServer server;
        server.add(QStringLiteral("/quillmarsh/latest.json"),
                   {200, manifest("1.4", "https://example.org/q.zip"), true});
        const QUrl url = server.url(QStringLiteral("/quillmarsh/latest.json"));
        QCoro::waitFor(Updates::check(QStringLiteral("1.0"), url));
        QCoro::waitFor(Updates::check(QStringLiteral("1.0"), url));
        QCOMPARE(server.requests().size(), 2);
    }

    void noServerIsATransportFailure() {
        quint16 port = 0;
        {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            port = closed.serverPort();
        }
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/quillmarsh/latest.json").arg(port));
        const Updates::Answer answer = QCoro::waitFor(Updates::check(QStringLiteral("1.0"), url));
        QCOMPARE(answer, (Updates::Answer{couldNot, std::nullopt}));
    }

    void aSilentServerTimesOut() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        const QUrl url(
            QStringLiteral("http://127.0.0.1:%1/quillmarsh/latest.json").arg(silent.serverPort()));
        const Updates::Answer answer = QCoro::waitFor(
            Updates::check(QStringLiteral("1.0"), url, std::chrono::milliseconds(300)));
        QCOMPARE(answer.message, couldNot);
    }

    void theRealAddressIsSecureWithTheFixedPath() {
        const QUrl url(QString::fromLatin1(Updates::manifestAddress));
        QCOMPARE(url.scheme(), QStringLiteral("https"));
        QCOMPARE(url.path(), QStringLiteral("/quillmarsh/latest.json"));
        QVERIFY(!Updates::currentVersion().isEmpty());
        QVERIFY(Updates::compareVersions(Updates::currentVersion(), QStringLiteral("0")) > 0);
    }
};

QTEST_GUILESS_MAIN(UpdatesQtTest)
#include "UpdatesQtTest.moc"
