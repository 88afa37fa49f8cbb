-- A small database whose dump must come out byte for byte the same from
-- the Windows and the Linux build: every text as the server sends it,
-- line ends inside values, non-ASCII bytes, quoting, NULLs, bytea, more
-- rows than one INSERT batch, a name that needs quoting, an empty table.
CREATE TABLE items (
    id serial PRIMARY KEY,
    name varchar(40) NOT NULL,
    price numeric(10,2),
    in_stock boolean DEFAULT true,
    note text
);
INSERT INTO items (name, price, in_stock, note) VALUES
    ('Tea', 2.50, true, NULL),
    ('O''Brien', NULL, false, 'back\slash and "quotes"'),
    ('Crème brûlée', 4.00, NULL, E'two\nlines\r\nand a\ttab'),
    ('Грибы', 12.75, true, '日本語 テキスト'),
    ('', 0, false, '');

CREATE TABLE readings (
    taken timestamp NOT NULL,
    day date,
    value double precision,
    raw bytea,
    tags text[],
    doc jsonb,
    PRIMARY KEY (taken)
);
INSERT INTO readings
SELECT timestamp '2024-01-01 00:00:00' + n * interval '37 minutes',
       date '2024-01-01' + n,
       n / 7.0,
       decode(md5(n::text), 'hex'),
       ARRAY['a' || n, NULL, 'x,y'],
       jsonb_build_object('n', n, 's', 'é' || n)
FROM generate_series(1, 250) AS n;

CREATE TABLE "Mixed Case" ("Key" integer NOT NULL, "odd ""name""" text);
INSERT INTO "Mixed Case" VALUES (1, 'one'), (2, NULL);

CREATE TABLE empty_one (id bigint);
