CREATE TABLE t (i int);
INSERT INTO "s"."T" VALUES (1);
COPY t FROM stdin;
1
\.
