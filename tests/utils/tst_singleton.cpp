#include <singleton.h>

#include <QObject>
#include <QPointer>
#include <QtTest>

namespace {

int g_constructed = 0;
int g_destroyed = 0;

class Service : public QObject, public utils::SingletonT<Service>
{
public:
    explicit Service(QObject *parent)
        : QObject(parent)
    {
        ++g_constructed;
    }
    ~Service() override { ++g_destroyed; }

    int value = 0;
};

} // namespace

class TestSingleton : public QObject
{
    Q_OBJECT

private slots:
    void lifeCycle();
    void assignmentCopiesNothing();
};

void TestSingleton::lifeCycle()
{
    QVERIFY(!utils::SingletonT<Service>::s_pInstance);

    Service *first = Service::instance();
    QVERIFY(first);
    QVERIFY(!first->parent());
    QCOMPARE(Service::instance(), first);
    QCOMPARE(utils::SingletonT<Service>::s_pInstance, first);
    QCOMPARE(g_constructed, 1);

    QPointer<Service> watch(first);
    Service::release();
    QVERIFY(watch.isNull());
    QCOMPARE(g_destroyed, 1);
    QVERIFY(!utils::SingletonT<Service>::s_pInstance);

    Service::release(); // nothing held: nothing happens
    QCOMPARE(g_destroyed, 1);

    Service *second = Service::instance();
    QVERIFY(second);
    QCOMPARE(g_constructed, 2);
    QCOMPARE(second->value, 0);
    Service::release();
    QCOMPARE(g_destroyed, 2);
}

void TestSingleton::assignmentCopiesNothing()
{
    Service a(nullptr);
    Service b(nullptr);
    b.value = 7;
    utils::SingletonT<Service> &base = a;
    base = b;
    QCOMPARE(a.value, 0);
    QVERIFY(!utils::SingletonT<Service>::s_pInstance);
}

QTEST_GUILESS_MAIN(TestSingleton)
#include "tst_singleton.moc"
